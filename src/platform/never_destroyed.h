// A process-wide object that is built in place on first use and never
// destroyed. The library's threads, and the engine's shutdown when the
// library is unloaded or the process ends, may still reach such an object
// after the exit handlers have run the destructors of ordinary statics (on
// Linux they run before the library's own unload code; on Windows they run
// after the system has ended every other thread, whose std::thread objects
// would then still be joinable). Nothing is allocated for the object itself:
// it lives in static storage, so an unload leaves behind only what the object
// still holds.
//
//   Foo& foo() {
//     static platform::NeverDestroyed<Foo> instance;
//     return instance.get();
//   }
#pragma once

#include <new>
#include <utility>

namespace platform {

template <typename T>
class NeverDestroyed {
 public:
  template <typename... Args>
  explicit NeverDestroyed(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;
  // Trivial: no exit handler is registered for the holder.
  ~NeverDestroyed() = default;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  // Ends the object's life, for a library unload that leaves nothing able to
  // reach it (what it holds on the heap would otherwise be lost with the
  // library). get() must not be called afterwards. A second call does
  // nothing. Not thread-safe.
  void destroy() {
    if (destroyed_) return;
    destroyed_ = true;
    get().~T();
  }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
  bool destroyed_ = false;
};

}  // namespace platform

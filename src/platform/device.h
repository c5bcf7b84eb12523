// Control devices: a driver's device opened by path, I/O control, and
// overlapped reads and writes that complete on an event.
//
// A Device is an interface so that something other than a kernel driver can
// stand behind the same path: a device provider installed with
// setDeviceProvider() is asked first by openDevice(), and the simulated driver
// uses that to answer the driver library in-process on both systems (the
// Linux tests, the wine tests and the demo). Without a provider, Windows
// opens the real device with CreateFileW, and Linux connects to the socket on
// which the driver process lumo-driver serves the device (the runtime folder
// of driver_runtime_dir.h; the messages are in posix/device_wire.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"

namespace platform {

// One overlapped operation in flight: its completion event (manual reset,
// signalled when the operation is done or cancelled) and the room the
// implementation needs to track it. One DeviceIo carries at most one
// operation at a time; it must outlive that operation (until result() has
// been fetched or cancel() has returned). Not shared between threads while an
// operation runs, except that the completing side (a driver thread) signals it.
class DeviceIo {
 public:
  DeviceIo() = default;
  ~DeviceIo() = default;
  DeviceIo(const DeviceIo&) = delete;
  DeviceIo& operator=(const DeviceIo&) = delete;

  Event& event() { return event_; }

  // Used by Device implementations only.
  // Windows: an OVERLAPPED lives here.
  alignas(8) unsigned char systemStorage[48] = {};
  // Simulated devices: the result, written before the event is set.
  uint32_t transferred = 0;
  bool succeeded = false;

 private:
  Event event_{Event::Reset::Manual};
};

enum class IoStart {
  Completed,  // finished at once; the event is signalled as well
  Pending,    // running; the event is signalled when it finishes
  Failed,     // did not start; the event is not touched
};

class Device {
 public:
  virtual ~Device() = default;

  // Sends an I/O-control code with `inSize` bytes from `in` and receives up
  // to `outSize` bytes into `out` (either may be null with size 0). Waits for
  // completion. True on success with *returned set to the bytes written into
  // `out`. Any thread; several calls may run at once.
  virtual bool control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t* returned) = 0;

  // Starts an overlapped read of `size` bytes into `buffer` (which must stay
  // valid until the operation ends) and reports through `io`.
  virtual IoStart read(void* buffer, uint32_t size, DeviceIo& io) = 0;

  // Starts an overlapped write of `size` bytes from `buffer`, reported
  // through `io`. The bytes may be read until the operation ends.
  virtual IoStart write(const void* buffer, uint32_t size, DeviceIo& io) = 0;

  // The result of a started operation, without waiting: true with
  // *transferred set when it succeeded; false when it failed, was cancelled or
  // is still running.
  virtual bool result(DeviceIo& io, uint32_t* transferred) = 0;

  // Cancels the operation of `io` if it still runs, and returns once it has
  // ended (its event is then signalled).
  virtual void cancel(DeviceIo& io) = 0;

  // False once the device is known to be unusable because its driver went
  // away (every call then fails at once); true while it may work. Devices
  // that cannot tell say true. Any thread.
  virtual bool alive() { return true; }
};

// Something that answers openDevice() for some paths: returns the device for
// `path`, or null when the path is not its own (the system is then asked).
using DeviceProvider = std::function<std::unique_ptr<Device>(std::u16string_view path)>;

// Installs `provider` (an empty function removes it). Any thread; the
// provider is called on the thread that opens a device, without the
// registry's lock held. One registry serves both systems.
void setDeviceProvider(DeviceProvider provider);

// The installed provider's device for `path`; null when no provider is
// installed or it does not serve the path. openDevice() asks this first on
// both systems. Any thread.
std::unique_ptr<Device> openProvidedDevice(std::u16string_view path);

// Opens the device at `path` ("\\.\Name") for reading and writing, unshared,
// existing only, overlapped (CreateFileW on Windows). Asks the installed
// provider first. Null on failure, with the system's last error set. Linux:
// connects to deviceSocketPath("Name"); no driver answering there gives
// ERROR_FILE_NOT_FOUND (2), another library holding the device
// kErrorSharingViolation (32).
std::unique_ptr<Device> openDevice(std::u16string_view path);

// The calling thread's last system error (GetLastError; on Linux a
// thread-local value that only these functions and the engine set).
uint32_t lastError();
void setLastError(uint32_t error);

// Error numbers the engine sets itself (the Windows values on both systems).
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorSharingViolation = 32;

// One volume's names: the device name the kernel gives its paths
// ("\Device\HarddiskVolume2") and the drive text "C:".
struct DosDevice {
  std::u16string deviceName;
  std::u16string drive;
};

// The device names of the logical drives: per drive the DOS-device query's
// answer, and for every drive that is neither a CD-ROM nor a network drive a
// second entry from the target of its symbolic link (where ntdll offers the
// symbolic-link calls). Linux has no such names: always empty, so kernel paths
// are kept as they come. Any thread.
std::vector<DosDevice> dosDevices();

}  // namespace platform

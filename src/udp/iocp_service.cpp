#include "udp/iocp_service.h"

IOCPService::~IOCPService() { Stop(); }

bool IOCPService::Start(IOCPHandler* handler) {
  std::lock_guard<std::mutex> guard(lifecycle_);
  if (running_.load()) return true;
  if (!port_.open()) return false;
  handler_ = handler;
  // The flag is up before the worker starts, or its first look would send it
  // straight home.
  running_.store(true, std::memory_order_release);
  workers_.emplace_back(&IOCPService::Work, this);
  return true;
}

void IOCPService::Stop() {
  std::lock_guard<std::mutex> guard(lifecycle_);
  if (!running_.exchange(false)) return;
  // A worker blocked in its wait takes the quit completion at once; one
  // between waits finds the flag down.
  for (size_t i = 0; i < workers_.size(); ++i) port_.post(0, kQuitKey, nullptr);
  for (std::thread& worker : workers_)
    if (worker.joinable()) worker.join();
  workers_.clear();
  port_.close();
}

bool IOCPService::Post(uintptr_t key, platform::Overlapped* overlapped) {
  return running() && port_.post(0, key, overlapped);
}

void IOCPService::Work() {
  while (running()) {
    platform::Completion c;
    switch (port_.wait(kWaitSliceMs, c)) {
      case platform::CompletionWait::Completed:
        if (c.key == kQuitKey && c.record == nullptr) return;
        handler_->OnCompletion(c.key, c.bytes, c.record, c.error);
        break;
      case platform::CompletionWait::TimedOut:
        break;
      case platform::CompletionWait::Failed:
        handler_->OnCompletion(c.key, c.bytes, nullptr, c.error);
        break;
    }
  }
}

// Windows control devices: CreateFileW with FILE_FLAG_OVERLAPPED, so reads,
// writes and I/O controls all take an OVERLAPPED whose event is the
// DeviceIo's event. A synchronous control call waits on its own event with
// GetOverlappedResult. Cancelling uses CancelIoEx on the one OVERLAPPED (any
// thread may cancel, unlike CancelIo) and then waits for the cancelled
// operation to end, because the OVERLAPPED may not go away before that.
#include "platform/device.h"

#include <windows.h>


namespace platform {
namespace {

static_assert(sizeof(OVERLAPPED) <= sizeof(DeviceIo::systemStorage));

OVERLAPPED* overlappedOf(DeviceIo& io) { return reinterpret_cast<OVERLAPPED*>(io.systemStorage); }

class WindowsDevice final : public Device {
 public:
  explicit WindowsDevice(HANDLE handle) : handle_(handle) {}
  ~WindowsDevice() override { CloseHandle(handle_); }

  bool control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
               uint32_t* returned) override {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return false;
    DWORD n = 0;
    BOOL ok = DeviceIoControl(handle_, code, const_cast<void*>(in), inSize, out, outSize, &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(handle_, &ov, &n, TRUE);
    const DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(error);
    if (returned != nullptr) *returned = ok ? n : 0;
    return ok != FALSE;
  }

  IoStart read(void* buffer, uint32_t size, DeviceIo& io) override {
    OVERLAPPED* ov = prepare(io);
    if (ReadFile(handle_, buffer, size, nullptr, ov)) return IoStart::Completed;
    return GetLastError() == ERROR_IO_PENDING ? IoStart::Pending : IoStart::Failed;
  }

  IoStart write(const void* buffer, uint32_t size, DeviceIo& io) override {
    OVERLAPPED* ov = prepare(io);
    if (WriteFile(handle_, buffer, size, nullptr, ov)) return IoStart::Completed;
    return GetLastError() == ERROR_IO_PENDING ? IoStart::Pending : IoStart::Failed;
  }

  bool result(DeviceIo& io, uint32_t* transferred) override {
    DWORD n = 0;
    const BOOL ok = GetOverlappedResult(handle_, overlappedOf(io), &n, FALSE);
    if (transferred != nullptr) *transferred = ok ? n : 0;
    return ok != FALSE;
  }

  void cancel(DeviceIo& io) override {
    OVERLAPPED* ov = overlappedOf(io);
    if (CancelIoEx(handle_, ov) || GetLastError() != ERROR_NOT_FOUND) {
      DWORD n = 0;
      GetOverlappedResult(handle_, ov, &n, TRUE);
    }
  }

 private:
  static OVERLAPPED* prepare(DeviceIo& io) {
    OVERLAPPED* ov = overlappedOf(io);
    ZeroMemory(ov, sizeof *ov);
    ov->hEvent = static_cast<HANDLE>(io.event().nativeHandle());
    io.event().reset();
    return ov;
  }

  HANDLE handle_;
};

// The native symbolic-link calls of ntdll, declared here with their own
// structure names so nothing clashes with the SDK's optional winternl.h.
struct NtUnicodeString {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
struct NtObjectAttributes {
  ULONG Length;
  HANDLE RootDirectory;
  NtUnicodeString* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using NtOpenSymbolicLinkObjectFn = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, NtObjectAttributes*);
using NtQuerySymbolicLinkObjectFn = LONG(NTAPI*)(HANDLE, NtUnicodeString*, PULONG);
using NtCloseFn = LONG(NTAPI*)(HANDLE);

struct SymbolicLinkCalls {
  NtOpenSymbolicLinkObjectFn open = nullptr;
  NtQuerySymbolicLinkObjectFn query = nullptr;
  NtCloseFn close = nullptr;
};

const SymbolicLinkCalls& symbolicLinkCalls() {
  static const SymbolicLinkCalls calls = [] {
    SymbolicLinkCalls c;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return c;
    c.open = reinterpret_cast<NtOpenSymbolicLinkObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtOpenSymbolicLinkObject")));
    c.query = reinterpret_cast<NtQuerySymbolicLinkObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySymbolicLinkObject")));
    c.close = reinterpret_cast<NtCloseFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtClose")));
    return c;
  }();
  return calls;
}

// The target of the object-manager link "\GLOBAL??\X:"; empty when the calls
// are missing or the link cannot be read.
std::u16string symbolicLinkTarget(const std::wstring& drive) {
  const SymbolicLinkCalls& calls = symbolicLinkCalls();
  if (calls.open == nullptr || calls.query == nullptr || calls.close == nullptr) return {};
  std::wstring name = L"\\GLOBAL??\\" + drive;
  NtUnicodeString objectName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                             name.data()};
  NtObjectAttributes attributes{sizeof(NtObjectAttributes),  nullptr, &objectName,
                                0x40 /* case-insensitive */, nullptr, nullptr};
  HANDLE link = nullptr;
  if (calls.open(&link, 0x0001 /* SYMBOLIC_LINK_QUERY */, &attributes) < 0) return {};
  wchar_t target[1024];
  NtUnicodeString targetString{0, static_cast<USHORT>(sizeof target), target};
  ULONG length = 0;
  const LONG status = calls.query(link, &targetString, &length);
  calls.close(link);
  if (status < 0) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(target), targetString.Length / 2);
}

}  // namespace

std::unique_ptr<Device> openDevice(std::u16string_view path) {
  if (auto device = openProvidedDevice(path)) return device;
  std::wstring widePath(reinterpret_cast<const wchar_t*>(path.data()), path.size());
  HANDLE h = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WindowsDevice>(h);
}

uint32_t lastError() { return GetLastError(); }
void setLastError(uint32_t error) { SetLastError(error); }

std::vector<DosDevice> dosDevices() {
  std::vector<DosDevice> table;
  wchar_t drives[512];
  const DWORD length = GetLogicalDriveStringsW(static_cast<DWORD>(std::size(drives)), drives);
  if (length == 0 || length >= std::size(drives)) return table;
  for (const wchar_t* root = drives; *root != L'\0'; root += wcslen(root) + 1) {
    const std::wstring drive(root, 2);  // "X:"
    const std::u16string driveText(reinterpret_cast<const char16_t*>(drive.data()), drive.size());
    wchar_t device[1024];
    if (QueryDosDeviceW(drive.c_str(), device, static_cast<DWORD>(std::size(device))) != 0)
      table.push_back({std::u16string(reinterpret_cast<const char16_t*>(device)), driveText});
    const UINT type = GetDriveTypeW(root);
    if (type == DRIVE_CDROM || type == DRIVE_REMOTE) continue;
    std::u16string target = symbolicLinkTarget(drive);
    if (!target.empty()) table.push_back({std::move(target), driveText});
  }
  return table;
}

}  // namespace platform

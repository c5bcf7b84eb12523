// Windows command lines: CreateProcessW on a 260-unit writable command buffer
// (CreateProcessW may write into it), no window, and for the captured run an
// anonymous pipe whose write end the child inherits as standard output and
// standard error.
#include "platform/command.h"

#include <windows.h>

#include <cstring>

namespace platform {
namespace {

// Widens `line` from the ANSI code page into `buffer` (260 units). False
// when it is empty, cannot be converted or does not fit with its terminator.
bool widen(const std::string& line, wchar_t (&buffer)[260]) {
  if (line.empty() || line.size() > 0x7FFFFFFF) return false;
  int units = MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
  if (units <= 0 || static_cast<size_t>(units) > kMaxCommandLine) return false;
  MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), buffer, units);
  buffer[units] = L'\0';
  return true;
}

}  // namespace

bool runCommandLine(const std::string& line, uint32_t timeoutMs) {
  wchar_t buffer[260];
  if (!widen(line, buffer)) return false;
  STARTUPINFOW si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  if (!CreateProcessW(nullptr, buffer, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &si, &pi))
    return false;
  if (timeoutMs > 0) WaitForSingleObject(pi.hProcess, timeoutMs);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

bool runCommandLineCaptured(const std::string& line, uint32_t timeoutMs, std::string& output) {
  output.clear();
  wchar_t buffer[260];
  if (!widen(line, buffer)) return false;
  SECURITY_ATTRIBUTES sa;
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = nullptr;
  sa.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return false;
  // Only the write end goes to the child; an inherited read end would keep
  // the pipe open in the child.
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;  // 257
  si.wShowWindow = SW_HIDE;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  if (!CreateProcessW(nullptr, buffer, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &si, &pi)) {
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return false;
  }
  WaitForSingleObject(pi.hProcess, timeoutMs);
  // Take only what is there now: a child that is still running must not make
  // the caller block on ReadFile.
  char chunk[4096];
  DWORD available = 0;
  while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    DWORD got = 0;
    if (!ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
    output.append(chunk, got);
  }
  CloseHandle(readEnd);
  CloseHandle(writeEnd);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

}  // namespace platform

// Running system command lines as hidden child processes.
//
// Windows: CreateProcessW with CREATE_NO_WINDOW and no application name; the
// line is widened from the ANSI code page into a 260-unit command buffer.
// Linux: the line is split on spaces and tabs into words (no shell, no
// quoting: a double quote is an ordinary character) and started with
// posix_spawnp; children that are left running are reaped on later calls.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Longest command line in characters (UTF-16 units on Windows, bytes on
// Linux): the command buffer holds 260 units with the terminator.
inline constexpr size_t kMaxCommandLine = 259;

// Starts `line` (8-bit, ANSI code page on Windows, UTF-8 on Linux) hidden,
// inheriting no handles. With `timeoutMs` above 0 waits up to that long for
// the process to end; with 0 returns as soon as it exists. A process that
// outlives the wait is left running. True when the process was created;
// false when it could not be, or the line is empty or longer than
// kMaxCommandLine (it is never cut). Any thread.
bool runCommandLine(const std::string& line, uint32_t timeoutMs);

// Starts `line` like runCommandLine with its standard output and standard
// error sent into one anonymous pipe (the pipe's read end is not inherited),
// waits up to `timeoutMs` for the process, then drains whatever the pipe
// holds at that moment, 4096 bytes at a time, into `output` (raw bytes, in
// the console code page; cleared first). True when the process ran; false
// when the pipe or the process could not be created. Any thread.
bool runCommandLineCaptured(const std::string& line, uint32_t timeoutMs, std::string& output);

}  // namespace platform

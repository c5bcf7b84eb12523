// The driver interface library: the engine's only way to the filter driver.
// Free functions over one process-wide library state. Status values: 0
// success, -1 failure, -2 no such connection, -3 not initialised (or device
// not open), -4 the record does not fit the outbound buffer or the write was
// refused. Every operation may be called from any thread, including from
// inside a handler callback.
#pragma once

#include <cstdint>

#include "drvapi/event_handler.h"
#include "drvapi/records.h"

namespace drvapi {

inline constexpr int kOk = 0;
inline constexpr int kFailed = -1;
inline constexpr int kUnknownConnection = -2;
inline constexpr int kNotInitialised = -3;
inline constexpr int kNoRoom = -4;

// Option bits of setDriverOptions.
inline constexpr uint32_t kOptionKeepIpv6Registry = 0x1;   // do not set the IPv6 registry bit
inline constexpr uint32_t kOptionNoServiceStart = 0x4;     // never create/start the service
inline constexpr uint32_t kOptionDoNotStartService = 0x8;  // create the service without starting it

void setDriverOptions(int workerThreads, uint32_t flags);
uint32_t driverOptions();

// What initDriver asks of the driver's service, which is managed one layer
// above this library: the host registry preparation before the device is
// opened; creating and starting the service once when the device cannot be
// opened (unless kOptionNoServiceStart); and, when the driver answers the
// kind query, the load-order arrangements that kind needs (given the
// service's name). Whoever manages the service installs them (the engine);
// a null step is skipped, so without them initDriver only opens the device.
// Set before initDriver; any thread.
struct ServiceSteps {
  void (*prepareHostRegistry)(bool setIpv6Bit) = nullptr;
  int (*registerDriverService)(const char* name, const char* folder) = nullptr;
  void (*arrangeLoadOrder)(const char* name) = nullptr;
};
void setServiceSteps(const ServiceSteps& steps);

// Opens "\\.\CtrlDS" + driverName, exchanges the shared buffers and starts the
// reader thread delivering to `handler`. 0 on success (also when already
// initialised), -1 on any failure. When the driver went away while the
// library was open (its reader's read failed: writes and injections have been
// failing with -1 since), the library is closed first and opened again.
int initDriver(const char* driverName, DRV_EventHandler* handler);

// Stops the reader and its workers, closes the device, frees every
// connection, forgets everything still queued for the workers and the
// raw-IP handler (set it again after the next initDriver). Safe when not
// initialised.
void freeDriver();

// Ends the library's process-wide state, for an unload of the program's
// library once no engine remains: what the state holds would otherwise be
// lost with it. Nothing happens while the driver is open. No other call may
// follow. Not thread-safe.
void releaseDriverLibrary();

// Stores the raw-IP handler (null: raw-IP packets are written back
// unchanged). Any time.
void setIpEventHandler(DRV_IPEventHandler* handler);

// Queue stream bytes towards the network (Send) or the application
// (Receive); length 0 is an end of stream in that direction. Data longer than
// the driver's chunk limit is split. -2 when the connection is unknown or not
// connected, -1 when memory runs out (chunks already queued stay).

int tcpInjectSend(uint64_t id, const char* data, int length);
int tcpInjectReceive(uint64_t id, const char* data, int length);
// Queue one datagram from/to `remoteAddress` (28-byte socket address; for
// IPv4 only its first 16 bytes are read). `options` may be null. -1 for a
// null address or data or a length over 131072, -2 for an unknown flow.
int udpInjectSend(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                  const UdpOptions* options);
int udpInjectReceive(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                     const UdpOptions* options);
// Datagrams injected towards applications that were dropped because too
// many waited for their driver to ask for them (the oldest waiting one goes
// first; at most 128 wait per flow). A running total since the process
// started. Any thread.
uint64_t droppedInboundDatagrams();
// Write one raw IP packet at once (code 29 / 28); 0 without writing when
// options->flags bit 0 is set; otherwise the write primitive's status.
int ipInjectSend(const char* packet, int length, const IpOptions* options);
int ipInjectReceive(const char* packet, int length, const IpOptions* options);

// Marks a filtered connection (verdict bit 0x02 without 0x08) pass-through:
// its data is then written back unchanged. Called from inside the
// tcpConnectRequest callback, it is judged by the verdict that callback
// leaves, once it returns. 0 either way; -2 unknown id.
int tcpDisableFiltering(uint64_t id);
// Marks a flow pass-through and tells the driver (udpFilteringOff); the
// write's status, or 0 when it was already marked.
int udpDisableFiltering(uint64_t id);
// Copy the recorded description; -1 for a null target, -2 unknown id.
int tcpGetConnInfo(uint64_t id, TcpConnInfo* info);
int udpGetConnInfo(uint64_t id, UdpConnInfo* info);

// Writes a rule (code 16 when `first`, else 17); -1 for a null rule.
int addFilterRule(const FilterRule* rule, bool first);
// Removes every rule of the driver (code 18).
int deleteFilterRules();
// Lower-cases rule->processName in place and drops a leading "X:" drive
// prefix from names longer than 3 units, then adds the rule through its
// control code (first or last). -1 for a null rule or a failed call.
int addProcessFilterRule(ProcessFilterRule* rule, bool first);

// The image path of a process as the driver knows it, with the volume's
// device name replaced by its drive ("C:") where the system has one (Linux
// keeps the path as it comes). capacity in UTF-16 units, at least 260 (else
// the last error becomes 8 and 0 is returned). 1 when a NUL-terminated path
// shorter than capacity was stored, else 0.
int getProcessImagePath(uint32_t processId, char16_t* buffer, uint32_t capacity);
// The process's image path as the system reports it; the number of units
// stored (NUL-terminated), 0 on failure or when it does not fit.
int getProcessModulePath(uint32_t processId, char16_t* buffer, uint32_t capacity);

void enableDebugPrivilege();

// The clock of the periodic maintenance (idle limits, the 20-second verdict
// fallback, activity times): a function returning milliseconds as a wrapping
// 32-bit tick count. Null restores the platform's tick count. For tests and
// simulations that must not wait real minutes; any thread.
using TickSource = uint32_t (*)();
void setTickSource(TickSource source);

}  // namespace drvapi

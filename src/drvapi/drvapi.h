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

// Opens "\\.\CtrlDS" + driverName, exchanges the shared buffers and starts the
// reader thread delivering to `handler`. 0 on success (also when already
// initialised), -1 on any failure.
int initDriver(const char* driverName, DRV_EventHandler* handler);

// Stops the reader and its workers, closes the device and frees every
// connection. Safe when not initialised.
void freeDriver();

void setIpEventHandler(DRV_IPEventHandler* handler);

int tcpInjectSend(uint64_t id, const char* data, int length);
int tcpInjectReceive(uint64_t id, const char* data, int length);
int udpInjectSend(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                  const UdpOptions* options);
int udpInjectReceive(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                     const UdpOptions* options);
int ipInjectSend(const char* packet, int length, const IpOptions* options);
int ipInjectReceive(const char* packet, int length, const IpOptions* options);

int tcpDisableFiltering(uint64_t id);
int udpDisableFiltering(uint64_t id);
int tcpGetConnInfo(uint64_t id, TcpConnInfo* info);
int udpGetConnInfo(uint64_t id, UdpConnInfo* info);

int addFilterRule(const FilterRule* rule, bool first);
int deleteFilterRules();
int addProcessFilterRule(ProcessFilterRule* rule, bool first);

// Process paths as UTF-16; capacity in units. 1 / number of units on success,
// 0 on failure.
int getProcessImagePath(uint32_t processId, char16_t* buffer, uint32_t capacity);
int getProcessModulePath(uint32_t processId, char16_t* buffer, uint32_t capacity);

void enableDebugPrivilege();

}  // namespace drvapi

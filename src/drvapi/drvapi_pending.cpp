// TEMPORARY: link-time stand-ins so that the rest of the engine links while
// the driver interface library is being written. Each returns its documented
// "not initialised" result. Delete this file when drvapi's real sources land.
#include "drvapi/drvapi.h"

namespace drvapi {

namespace {
uint32_t pendingOptions = 0;
}

void setDriverOptions(int, uint32_t flags) { pendingOptions = flags; }
uint32_t driverOptions() { return pendingOptions; }
int initDriver(const char*, DRV_EventHandler*) { return kFailed; }
void freeDriver() {}
void setIpEventHandler(DRV_IPEventHandler*) {}
int tcpInjectSend(uint64_t, const char*, int) { return kNotInitialised; }
int tcpInjectReceive(uint64_t, const char*, int) { return kNotInitialised; }
int udpInjectSend(uint64_t, const unsigned char*, const char*, int, const UdpOptions*) { return kNotInitialised; }
int udpInjectReceive(uint64_t, const unsigned char*, const char*, int, const UdpOptions*) { return kNotInitialised; }
int ipInjectSend(const char*, int, const IpOptions*) { return kNotInitialised; }
int ipInjectReceive(const char*, int, const IpOptions*) { return kNotInitialised; }
int tcpDisableFiltering(uint64_t) { return kNotInitialised; }
int udpDisableFiltering(uint64_t) { return kNotInitialised; }
int tcpGetConnInfo(uint64_t, TcpConnInfo*) { return kNotInitialised; }
int udpGetConnInfo(uint64_t, UdpConnInfo*) { return kNotInitialised; }
int addFilterRule(const FilterRule*, bool) { return kNotInitialised; }
int deleteFilterRules() { return kNotInitialised; }
int addProcessFilterRule(ProcessFilterRule*, bool) { return kNotInitialised; }
int getProcessImagePath(uint32_t, char16_t*, uint32_t) { return 0; }
int getProcessModulePath(uint32_t, char16_t*, uint32_t) { return 0; }
void enableDebugPrivilege() {}

}  // namespace drvapi

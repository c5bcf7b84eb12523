/*
 * lumo.h: the Lumo engine's nine exported functions.
 *
 * The engine steers the traffic of chosen game processes: their TCP
 * connections through a local relay and a SOCKS5 proxy node, their UDP
 * datagrams through a tunnel to the node, their DNS queries and pings. A
 * kernel filter driver hands the engine the traffic (on Linux the driver
 * process lumo-driver stands in for it).
 *
 * Library: lumo.dll (32-bit Windows; __stdcall, undecorated export names) or
 * liblumo.so (Linux; plain C calls, only these nine symbols exported).
 *
 * Windows 7 is the oldest system lumo.dll runs on (it is built for Windows 7
 * and imports functions that Windows XP and Vista lack, so it does not load
 * there). Later versions take their own branches where the filter driver or
 * the system differ (Windows 8 and later, Windows 10).
 *
 * Linux: the driver is the process lumo-driver. It serves the driver's
 * control device on the Unix socket "CtrlDSLumoDriverSys" in its runtime
 * folder: $LUMO_DRIVER_DIR when set, else $XDG_RUNTIME_DIR/lumo, else
 * /run/lumo for root and /tmp/lumo-<uid> for other users (the library and the
 * driver apply the same rule, each in its own environment). When no driver
 * runs there, Init starts the program lumo-driver found in the folder of
 * liblumo.so: detached (a session of its own, no descriptor of the client,
 * its log lines appended to lumo-driver.log in the runtime folder), waiting
 * up to 3 s for it to serve. The driver keeps running after UnInit, for the
 * next Init of this or another client. Without that program and without a
 * running driver, or when it does not come up, Init creates the engine, runs
 * the steps that come before the driver and returns false; the engine then
 * still takes SetConfig, Start (which runs its steps but writes no driver
 * rules, so nothing is steered), GetFlow, SetBlur, Stop and UnInit as
 * documented below. The driver sees only the traffic of programs that carry
 * the capture library liblumo-capture.so (the client lumo-run launches
 * programs with it preloaded); nothing else on the system is affected.
 * The device serves one engine at a time: the Init of a
 * second client finds it busy and returns false. When the driver ends while
 * the engine runs, steering stops: the engine's writes to the driver fail at
 * once (with LUMO_DEBUG set, a line on standard error says the driver went
 * away), Stop and UnInit return as usual, and the Init or Start after a Stop
 * starts a driver again and reaches it. Programs that link the engine
 * together with the project's simulated driver (its tests and demo) get that
 * driver instead.
 *
 * Order of calls
 *   Init → SetConfig → Start → (GetFlow, SetBlur at will) → Stop → UnInit.
 *   InstallDriver and UnInstallDriver may be called at any time after Init.
 *   Init, SetConfig, Start, Stop, UnInit, InstallDriver and UnInstallDriver are
 *   meant for one controlling thread, one call at a time; GetFlow and SetBlur
 *   may be called from any thread while the engine runs.
 *
 * Before Init (and after UnInit): SetConfig, Start, InstallDriver and
 * UnInstallDriver return false; Stop and UnInit return true; GetFlow and
 * SetBlur do nothing.
 *
 * No function throws, reports an error code or writes a log: failure is the
 * false result only. Booleans are one byte (0 false, 1 true); boolean
 * arguments are 32-bit words of which only the low byte is tested. Ports and
 * IPv4 addresses passed in are in network byte order and stored as they come.
 *
 * Unloading and process exit: call UnInit before unloading the library.
 * Windows: an engine keeps the library loaded until UnInit (FreeLibrary alone
 * does not unload it). A process that ends without UnInit ends normally: the
 * system has already ended the engine's threads, nothing is waited for, and
 * the system closes the driver connection.
 * Linux: unloading the library (dlclose) while an engine exists, or ending
 * the process without UnInit (returning from main, exit), shuts the engine
 * down and destroys it as UnInit(1) would, before the process's other exit
 * handlers run. Each unload also frees the library's memory, so a client may
 * load and unload it repeatedly.
 * The library never raises SIGPIPE in the client (Linux): a notification
 * descriptor or socket whose reader has gone only loses the messages.
 */
#ifndef LUMO_LUMO_H
#define LUMO_LUMO_H

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32)
#define LUMO_CALL __stdcall
#else
#define LUMO_CALL
#endif

#if defined(LUMO_BUILDING_LIBRARY) && !defined(_WIN32)
#define LUMO_API __attribute__((visibility("default")))
#else
#define LUMO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One selected game process: 68 bytes, packed. */
#pragma pack(push, 1)
typedef struct LUMO_PROCESS_ENTRY {
  char name[64];  /* executable file name, UTF-8, NUL-terminated within the 64 bytes */
  uint32_t value; /* carried with the name; not interpreted by the engine */
} LUMO_PROCESS_ENTRY;
#pragma pack(pop)

/* The message posted once a second with the traffic counters (1024 + 502). */
#define LUMO_COUNTERS_MESSAGE 1526u

/*
 * GetFlow: reads and clears the traffic counters.
 * Atomically exchanges the bytes sent through the node since the last read
 * with 0 and stores the old value through `sent`, then does the same for the
 * bytes received and `received` (two separate atomic exchanges). The counters
 * hold what was counted since the previous GetFlow or one-second tick,
 * whichever came last, so each byte is seen in exactly one of the two
 * channels. A null pointer is skipped: nothing is written through it and its
 * counter is left as it is. Without an engine nothing is written.
 * Any thread.
 */
LUMO_API void LUMO_CALL GetFlow(uint32_t* sent, uint32_t* received);

/*
 * Init: creates the engine (when none exists) and initialises it: the UDP
 * proxy's completion service, the data collector, the driver service (stopped
 * first when restartDriver is true; installed and started, with one retry),
 * the driver connection, the two loopback relay listeners and their threads,
 * the filter file beside the library, and the IPv6 prefix policy.
 * Returns true when initialised (at once, doing nothing, when already
 * initialised); false when the engine cannot be created or a step fails,
 * also when memory runs out (the steps done stay in place and the next Init or
 * Start repeats the rest). Linux: the driver service is lumo-driver, started
 * when it does not run and stopped first when restartDriver is true (see the
 * top of this file).
 */
LUMO_API bool LUMO_CALL Init(uint32_t restartDriver);

/*
 * InstallDriver: puts the current filter-driver file in place and makes sure
 * the driver service runs. Windows (administrator rights needed): the file
 * for this Windows version and processor is taken from the "driver" folder
 * beside the library and installed as system32\drivers\LumoDriverSys.sys
 * (a changed file replaces the old one at once on Windows 8 and later; on
 * Windows 7 and earlier the old one is deleted at the next restart and the
 * new one copied on the next call), and the kernel-driver service
 * "LumoDriverSys" is registered in the service control manager and started.
 * Linux: makes sure lumo-driver runs, as Init does: true when a driver
 * serves the runtime folder or the program beside the library was started
 * and serves within 3 s; false when neither is the case.
 * False without an engine or on failure.
 */
LUMO_API bool LUMO_CALL InstallDriver(void);

/*
 * SetBlur: any non-zero value switches the relay's transformation of the
 * bytes it sends to the proxy node on (the node undoes it); 0 switches it off.
 * The setting is read once per relayed connection, when its relaying starts:
 * a change applies to connections relayed from then on, never to part of a
 * connection already being relayed. May come before or after Start. Does
 * nothing without an engine. Any thread.
 *
 * Capacity: each relayed TCP connection costs about 130 KiB of address space
 * (a 64 KiB thread stack reservation and a 64 KiB copy buffer), so a 32-bit
 * client with 1.5 GiB free can carry about 11,000 relayed connections at once
 * (calculated from the per-connection reservation, not measured on 32-bit
 * Windows).
 */
LUMO_API void LUMO_CALL SetBlur(uint32_t enable);

/*
 * SetConfig: the proxy node and the game.
 *   label           accepted; nothing depends on it
 *   reserved2       ignored (keeps the 17-word call layout)
 *   proxyUser       SOCKS5 user name (null counts as empty)
 *   reserved4       ignored
 *   proxyPassword   SOCKS5 password (null counts as empty); its decimal value
 *                   (leading digits, saturating at the signed 32-bit limits)
 *                   is the user id of the UDP tunnel
 *   reserved6       ignored
 *   processEntries  the selected game processes; must not be null. Each name
 *                   is lower-cased IN PLACE in the caller's array; a name whose
 *                   64 bytes hold no NUL is made empty
 *   processEntryCount  number of entries; must be greater than 0
 *   processLimit    most processes admitted per name; 0 = no limit
 *   rulesText       ping-delay and ICMP rules ("mc,DELAY,HOST:PORT" and
 *                   "NET/PREFIX,MIN-MAX" items separated by ';'); may be null
 *   proxyAddress    the node's IPv4 address, network byte order
 *   proxyTcpPort    the node's SOCKS5 port, network byte order (low 16 bits)
 *   proxyUdpPort    the node's UDP tunnel port, network byte order (low 16 bits)
 *   gameId, areaId  the game and its region (select filter-file entries)
 *   notifyWindow    receives LUMO_COUNTERS_MESSAGE once a second with wParam =
 *                   bytes sent and lParam = bytes received; 0 for none.
 *                   Windows: a window handle (PostMessageW). Linux: a file
 *                   descriptor (pipe, socket pair or connected datagram
 *                   socket) that receives 12 bytes per tick: u32 message,
 *                   u32 sent, u32 received, little-endian; a tick whose 12
 *                   bytes the descriptor cannot take at once is dropped.
 *   reserved17      ignored
 * Each call replaces the ping-delay and ICMP rules of the one before (the
 * host-address table only grows). ICMP rules raise the system timer
 * resolution (Windows), once however often SetConfig is called; Stop lowers
 * it again.
 * Returns false, changing nothing, without an engine, with a null
 * processEntries or with a count of 0 or less; true otherwise. Configure before
 * Start: a Stop clears the node address and ports, so configure again after it.
 */
LUMO_API bool LUMO_CALL SetConfig(const char* label, uint32_t reserved2, const char* proxyUser, uint32_t reserved4,
                                  const char* proxyPassword, uint32_t reserved6, LUMO_PROCESS_ENTRY* processEntries,
                                  int32_t processEntryCount, uint32_t processLimit, const char* rulesText,
                                  uint32_t proxyAddress, uint32_t proxyTcpPort, uint32_t proxyUdpPort,
                                  uint32_t gameId, uint32_t areaId, uintptr_t notifyWindow, uint32_t reserved17);

/*
 * Start: starts steering. Initialises the engine first when it is not (as
 * Init(restartDriver) would, going on whatever that returns), starts the DNS
 * resolver, collects the system's DNS servers, starts process limiting, writes
 * the driver's rules and starts the one-second notification. A step that
 * fails is skipped (without a driver no rules are written).
 *   tcpEnabled      steer the selected processes' TCP connections
 *   udpEnabled      steer their UDP datagrams
 *   udpProxyAll     DNS queries of every process go through the engine
 *   adapterMode     route steered destinations through the service's virtual
 *                   network adapter
 *   forceUdpDirect  exactly 1: carry UDP through the driver instead of proxy
 *                   sockets; any other value leaves the game's default
 *   restartDriver   passed to the initialisation
 * False without an engine, or when memory ran out and cut the steps short;
 * true otherwise.
 *
 * DNS while started: every process's queries to port 53 reach the engine.
 * Reverse look-ups and names ending in ".arpa", ".home", ".lan" or the
 * service's own domain ".lumo.internal" pass untouched. Names the filter file
 * resolves through the proxy are asked of the node's DNS service (UDP port
 * 5312 of the node's address) and, 500 ms later, of a backup server, 8.8.8.8
 * port 53 unless the environment variable LUMO_DNS_BACKUP names another as
 * "a.b.c.d:port" when Start runs (tests and demonstrations give a loopback
 * one). A query nobody answers within 3 s gets no answer from the engine.
 */
LUMO_API bool LUMO_CALL Start(uint32_t tcpEnabled, uint32_t udpEnabled, uint32_t udpProxyAll, uint32_t adapterMode,
                              uint32_t forceUdpDirect, uint32_t restartDriver);

/*
 * Stop: stops steering and leaves the engine uninitialised. In this order:
 *   - TCP and UDP steering and adapter mode off;
 *   - the ping-delay responder off, its rules (configured and learnt) emptied;
 *   - the service monitor stopped, UDP round-trip probing off;
 *   - the UDP proxy's sockets closed and its completion service stopped;
 *   - the DNS resolver stopped;
 *   - the set of destinations routed through the virtual adapter emptied
 *     (routes already added to the system stay);
 *   - every driver rule deleted;
 *   - pending redirects and the names of steered connections forgotten, and
 *     every relayed connection closed;
 *   - the collector stopped (what it counted stays in the counters);
 *   - the relay listeners and their threads closed;
 *   - the notification target and the numeric configuration zeroed: node
 *     address, both node ports, the node's DNS port, user id, game and area
 *     (the user name, password, process list, process limit, rule text and
 *     the host-address table stay);
 *   - with unloadDriver true, the driver connection closed;
 *   - the timer resolution that SetConfig raised lowered, the ICMP rules
 *     emptied and the ICMP scheduler stopped;
 *   - the one-second notification stopped;
 *   - process limiting stopped.
 * Host settings that Start changed (commands it ran) are not undone.
 * GetFlow still returns what was counted. Configure again before the next
 * Start; that Start (or Init) initialises again. True (also without an
 * engine).
 */
LUMO_API bool LUMO_CALL Stop(uint32_t unloadDriver);

/*
 * UnInit: shuts the engine down (as Stop(unloadDriver), when it is
 * initialised) and destroys it. Destroying the engine always closes the
 * driver connection first, so that no driver event can reach it: UnInit(0)
 * closes it too, only after the rest of the shutdown. The driver service
 * itself keeps running (Init(1) restarts it; UnInstallDriver removes it).
 * Linux: lumo-driver keeps running and serves the next Init; Init(1) stops
 * it and starts it again; UnInstallDriver stops it.
 * True (also without an engine). Afterwards Init creates a fresh engine.
 */
LUMO_API bool LUMO_CALL UnInit(uint32_t unloadDriver);

/*
 * UnInstallDriver: removes the driver service and the installed driver file
 * (Windows: the service control manager entry, its load-order tag and the
 * system32\drivers file). False without an engine or when the service could
 * not be removed (including when it was not registered). An open driver
 * connection is not closed by it.
 * Linux: stops lumo-driver (SIGTERM, waiting up to 5 s for it to end, then
 * SIGKILL); the program stays beside the library, so the next InstallDriver,
 * Init or Start starts it again. False when neither the program is beside the
 * library nor a driver runs. The engine's driver connection ends with the
 * driver (steering stops, as when the driver ends by itself).
 */
LUMO_API bool LUMO_CALL UnInstallDriver(void);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_LUMO_H */

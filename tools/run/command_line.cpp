#include "command_line.h"

namespace run {

std::string helpText() {
  return "Usage: lumo-run [OPTIONS] -- PROGRAM [ARGUMENTS...]\n"
         "\n"
         "Runs PROGRAM with its traffic steered through a Lumo proxy node. lumo-run\n"
         "loads liblumo.so, makes sure lumo-driver runs, starts the engine, and\n"
         "launches PROGRAM with the capture library preloaded (LD_PRELOAD) and\n"
         "LUMO_DRIVER_DIR set, so that PROGRAM and every program it starts report\n"
         "their sockets to the driver. PROGRAM's standard input, output and error\n"
         "are lumo-run's own. One program is launched; to steer several, launch one\n"
         "that starts the others (a shell script). Of the captured processes, those\n"
         "whose executable's file name is listed in 'processes' are steered.\n"
         "\n"
         "Options:\n"
         "  -c, --config FILE     read the configuration keys below from FILE\n"
         "                        ('key = value' lines, '#' comment lines); the\n"
         "                        options below override it\n"
         "  --library PATH        the engine library (default: liblumo.so beside\n"
         "                        lumo-run)\n"
         "  --capture PATH        the capture library (default: liblumo-capture.so\n"
         "                        beside the engine library)\n"
         "  --no-driver-start     do not start lumo-driver when its socket does not\n"
         "                        answer (the engine then reaches no driver unless\n"
         "                        it starts one itself)\n"
         "  --stop-driver         at exit, end the lumo-driver this run started\n"
         "                        (otherwise it keeps running for the next run)\n"
         "  -q, --quiet           no per-second traffic line\n"
         "  --flows               also read the engine's flow counters (GetFlow)\n"
         "                        each second and show each read, followed by\n"
         "                        the list of flows that lumo-driver knows\n"
         "  -h, --help            show this text and exit\n"
         "\n"
         "Configuration keys (in the file as 'key = value', or as options\n"
         "'--key VALUE'; switches also as '--key' and '--no-key'):\n"
         "  node = ADDRESS        the node's IPv4 address (required)\n"
         "  socks-port = PORT     the node's SOCKS5 port (required)\n"
         "  udp-port = PORT       the node's UDP tunnel port (required)\n"
         "  user = NAME           SOCKS5 user name (default: empty)\n"
         "  password = TEXT       SOCKS5 password; its leading digits are also the\n"
         "                        UDP tunnel's user id (default: empty). Options are\n"
         "                        visible to other users in the process list: keep\n"
         "                        the password in the file.\n"
         "  processes = NAMES     executable file names of the processes to steer,\n"
         "                        separated by commas, e.g. 'game, game-helper'\n"
         "                        (required; matched without regard to case; a\n"
         "                        script runs as its interpreter, e.g. python3)\n"
         "  process-limit = N     most processes steered per name (default 0: no\n"
         "                        limit)\n"
         "  rules = TEXT          ping-delay and ICMP rules, items separated by ';':\n"
         "                        'mc,DELAY,HOST:PORT' and 'NET/PREFIX,MIN-MAX'\n"
         "                        (default: none)\n"
         "  game-id = N           the game (selects filter-file entries; default 0)\n"
         "  area-id = N           the game's region (default 0)\n"
         "  tcp = yes|no          steer TCP connections (default yes)\n"
         "  udp = yes|no          steer UDP datagrams (default yes)\n"
         "  udp-proxy-all = yes|no  every process's DNS queries go through the\n"
         "                        engine (default no)\n"
         "  adapter = yes|no      route steered destinations through the virtual\n"
         "                        adapter (default no)\n"
         "  force-udp-direct = yes|no  carry UDP through the driver instead of\n"
         "                        proxy sockets (default no: the game's default)\n"
         "  restart-driver = yes|no  restart the driver service at start (default no)\n"
         "\n"
         "Before PROGRAM starts, lumo-run checks that the node accepts a TCP\n"
         "connection on its SOCKS5 port (3 s), starts lumo-driver from beside the\n"
         "engine library when its socket does not answer (detached; its output goes\n"
         "to lumo-driver.log in the driver folder; 3 s to come up), then calls Init,\n"
         "SetConfig and Start. The driver folder is $LUMO_DRIVER_DIR, else\n"
         "$XDG_RUNTIME_DIR/lumo, else /run/lumo (root) or /tmp/lumo-UID.\n"
         "\n"
         "While PROGRAM runs, one line a second on standard error shows the traffic\n"
         "carried through the node in that second and in all:\n"
         "  lumo: sent 12.3 KiB/s received 4.5 KiB/s (total sent 1.2 MiB received 300.0 KiB)\n"
         "GetFlow (--flows) returns two counters, bytes sent and received since its\n"
         "previous read or the last one-second line, whichever came later, and\n"
         "clears them; it lists no connections. Each byte therefore shows up once:\n"
         "in a GetFlow line or in the next one-second line; the totals count both.\n"
         "The list of flows after it comes from lumo-driver, which sees each TCP\n"
         "connect, UDP socket and ICMP socket of the captured programs, one line\n"
         "each:\n"
         "  tcp  curl[1234]  10.0.0.2:40112 -> 203.0.113.5:8000  via relay 127.0.0.1:50001"
         "  up 87 B down 8.0 MiB  3s\n"
         "(protocol, program[pid], local -> remote address, what the driver decided:\n"
         "via relay, as asked, refused, waiting for a verdict for TCP; through the\n"
         "library or straight for UDP and ICMP, filtering off for UDP; then what\n"
         "went up and down: for UDP and ICMP the messages the capture carried, for\n"
         "TCP the system's byte counts; then the flow's age, and 'closed' for a flow\n"
         "closed within the last 2 s). When lumo-driver cannot answer, one line\n"
         "says so.\n"
         "\n"
         "SIGINT, SIGTERM and SIGHUP are passed on to PROGRAM (a Ctrl-C at the\n"
         "terminal reaches it directly), and lumo-run waits for it to end. Then the\n"
         "engine is stopped (Stop, UnInit) and lumo-run exits with PROGRAM's exit\n"
         "status, or 128 + the signal that ended it. Programs that PROGRAM left\n"
         "running are no longer steered.\n"
         "\n"
         "Exit status of lumo-run's own failures: 125 (options, configuration,\n"
         "library, node, driver, engine), 126 (PROGRAM cannot be run), 127 (PROGRAM\n"
         "not found).\n";
}

bool parseCommandLine(const std::vector<std::string>& args, RunOptions& options, std::string& error) {
  size_t i = 0;
  for (; i < args.size(); ++i) {
    std::string name = args[i];
    if (name == "--") {
      ++i;
      break;
    }
    std::string value;
    bool hasInlineValue = false;
    if (name.rfind("--", 0) == 0) {
      const size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
        hasInlineValue = true;
      }
    }
    // Fetches the option's value from "--name=value" or the next argument.
    auto takeValue = [&]() {
      if (hasInlineValue) return true;
      if (i + 1 >= args.size() || args[i + 1] == "--") {
        error = name + ": needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto isFlag = [&]() {
      if (!hasInlineValue) return true;
      error = name + ": takes no value";
      return false;
    };

    if (name == "-h" || name == "--help") {
      if (!isFlag()) return false;
      options.showHelp = true;
    } else if (name == "-c" || name == "--config") {
      if (!takeValue()) return false;
      options.configPath = value;
    } else if (name == "--library") {
      if (!takeValue()) return false;
      options.libraryPath = value;
    } else if (name == "--capture") {
      if (!takeValue()) return false;
      options.capturePath = value;
    } else if (name == "--no-driver-start") {
      if (!isFlag()) return false;
      options.startDriver = false;
    } else if (name == "--stop-driver") {
      if (!isFlag()) return false;
      options.stopDriver = true;
    } else if (name == "-q" || name == "--quiet") {
      if (!isFlag()) return false;
      options.quiet = true;
    } else if (name == "--flows") {
      if (!isFlag()) return false;
      options.flows = true;
    } else if (name.rfind("--no-", 0) == 0 && isSwitchKey(name.substr(5))) {
      if (!isFlag()) return false;
      options.overrides.push_back({name.substr(5), "no"});
    } else if (name.rfind("--", 0) == 0 && isConfigKey(name.substr(2))) {
      if (isSwitchKey(name.substr(2)) && !hasInlineValue) {
        value = "yes";
      } else if (!takeValue()) {
        return false;
      }
      options.overrides.push_back({name.substr(2), value});
    } else if (!name.empty() && name[0] == '-') {
      error = "unknown option: " + args[i];
      return false;
    } else {
      error = "unexpected argument '" + args[i] + "': the program goes after '--'";
      return false;
    }
  }
  options.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (options.program.empty() && !options.showHelp) {
    error = "no program given: lumo-run [OPTIONS] -- PROGRAM [ARGUMENTS...]";
    return false;
  }
  return true;
}

}  // namespace run

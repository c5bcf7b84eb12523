// A stand-in for lumo-driver in lumo-run's tests, with its command line
// ("--dir DIR --ready-fd FD"). It serves nothing but the socket: it listens
// on CtrlDSLumoDriverSys in DIR, writes its process id to lumo-driver.pid
// there, writes one byte to FD and closes it, accepts and closes connections,
// and ends on SIGTERM. With LUMO_FAKE_DRIVER_FAIL set it says so on standard
// error and exits with status 3 instead, as a driver that cannot start does.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (std::getenv("LUMO_FAKE_DRIVER_FAIL") != nullptr) {
    std::fprintf(stderr, "fake driver: cannot open the device\n");
    return 3;
  }
  const char* folder = nullptr;
  int readyFd = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--dir") == 0) folder = argv[i + 1];
    if (std::strcmp(argv[i], "--ready-fd") == 0) readyFd = std::atoi(argv[i + 1]);
  }
  if (folder == nullptr || readyFd < 0) return 2;
  const std::string socketPath = std::string(folder) + "/CtrlDSLumoDriverSys";

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int signals = signalfd(-1, &stop, 0);

  const int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  unlink(socketPath.c_str());
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 8) != 0) {
    std::perror("fake driver: bind");
    return 4;
  }
  if (FILE* pid = std::fopen((std::string(folder) + "/lumo-driver.pid").c_str(), "w")) {
    std::fprintf(pid, "%d\n", static_cast<int>(getpid()));
    std::fclose(pid);
  }
  std::fprintf(stderr, "fake driver: serving %s\n", socketPath.c_str());
  const char ready = 1;
  if (write(readyFd, &ready, 1) != 1) return 5;
  close(readyFd);

  for (;;) {
    pollfd waiting[2] = {{signals, POLLIN, 0}, {listener, POLLIN, 0}};
    if (poll(waiting, 2, -1) < 0) continue;
    if (waiting[0].revents != 0) break;
    const int client = accept(listener, nullptr, nullptr);
    if (client >= 0) close(client);
  }
  unlink(socketPath.c_str());
  return 0;
}

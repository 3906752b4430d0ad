// folium-fileproviderd: the drive service. Without arguments, the supervisor (started on
// demand by the manager client, or in the foreground by a systemd user unit); with
// --drive ID, the worker of one domain, started by the supervisor.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "platform/fileprovider/service/drive_worker.hpp"
#include "platform/fileprovider/service/supervisor.hpp"

int main(int argc, char** argv) {
  // Blocked before any thread starts, so every thread inherits it: the supervisor reads them
  // from a signalfd, the worker unblocks them on its main thread only.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  ::umask(077);

  const std::string usage = "usage: folium-fileproviderd [--drive IDENTIFIER]\n";
  if (argc == 3 && std::strcmp(argv[1], "--drive") == 0) {
    return folium::platform::service::runDriveWorker(argv[2]);
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << usage
              << "Serves each registered Folium drive as a folder (FOLIUM_DRIVES_DIR, default "
                 "~/Folium).\nStarted on demand by foliumctl and the Folium application.\n";
    return 0;
  }
  if (argc != 1) {
    std::cerr << "folium-fileproviderd: unexpected arguments\n" << usage;
    return 2;
  }
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = argv[0];
  folium::platform::service::Supervisor supervisor(self);
  return supervisor.run();
}

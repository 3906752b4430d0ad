// Serves one domain's drive in the foreground, for tests, benchmarks and trying the drive
// by hand without the service:
//   folium-drive-runner --domain ID --mount DIR --state DIR [--name NAME] [--poll SECONDS]
// The profile comes from the profile store (FOLIUM_SECRET_STORE), as in the service.
// SIGINT or SIGTERM unmounts and exits.

#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "platform/fileprovider/drive/drive.hpp"

namespace {

folium::platform::drive::Drive* running = nullptr;

void onSignal(int) {
  if (running != nullptr) running->stop();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Serve one Folium drive in the foreground"};
  folium::platform::drive::DriveOptions options;
  std::string mountPoint;
  std::string state;
  std::int64_t poll = 30;
  app.add_option("--domain", options.domain.identifier, "Domain identifier")->required();
  app.add_option("--name", options.domain.displayName, "Display name of the drive");
  app.add_option("--mount", mountPoint, "Folder to mount the drive at")->required();
  app.add_option("--state", state, "Folder of the replica and cache")->required();
  app.add_option("--poll", poll, "Seconds between two looks at the server's changes")
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{86400}));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (options.domain.displayName.empty()) options.domain.displayName = options.domain.identifier;
  options.mountPoint = mountPoint;
  options.stateDirectory = state;
  options.pollInterval = std::chrono::seconds(poll);
  try {
    auto drive = folium::platform::drive::makeDrive(std::move(options));
    running = drive.get();
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    drive->run();
    running = nullptr;
  } catch (const std::exception& e) {
    std::cerr << "folium-drive-runner: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

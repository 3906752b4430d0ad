#include "platform/fileprovider/service/drive_worker.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <thread>

#include "platform/fileprovider/drive/drive.hpp"
#include "platform/fileprovider/item_identifier.hpp"
#include "platform/fileprovider/service/line_channel.hpp"
#include "platform/fileprovider/service/service_log.hpp"
#include "platform/fileprovider/service/service_settings.hpp"

namespace folium::platform::service {
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

constexpr int kControlFd = 3;

// The drive the signal handler stops; set while run() may be under way.
drive::Drive* volatile runningDrive = nullptr;

void stopOnSignal(int) {
  if (drive::Drive* drive = runningDrive) drive->stop();
}

const char* stateName(drive::DriveStatus::State state) {
  using State = drive::DriveStatus::State;
  switch (state) {
    case State::starting:
      return "starting";
    case State::online:
      return "online";
    case State::offline:
      return "offline";
    case State::stopped:
      return "stopped";
    case State::error:
      return "error";
  }
  return "error";
}

// Answers one request of the supervisor; replies that wait on the drive go out from the
// drive's completion, on its thread.
void serve(drive::Drive& drive, const std::shared_ptr<LineChannel>& control,
           const json::object& request) {
  const json::value id = request.contains("id") ? request.at("id") : json::value(nullptr);
  const std::string op = stringMember(request, "op");
  auto reply = [control, id](json::object object) {
    object["id"] = id;
    control->writeObject(object);
  };
  if (op == "signal") {
    drive.signalEnumerator(stringMember(request, "item"), [reply](ErrorPtr error) {
      reply({{"error", errorToJson(error)}});
    });
  } else if (op == "url") {
    drive.userVisibleURL(stringMember(request, "item"), [reply](std::optional<fs::path> url,
                                                                ErrorPtr error) {
      reply({{"url", url ? json::value(url->string()) : nullptr}, {"error", errorToJson(error)}});
    });
  } else if (op == "status") {
    const drive::DriveStatus status = drive.status();
    reply({{"state", stateName(status.state)},
           {"pendingUploads", status.pendingUploads},
           {"refusedUploads", status.refusedUploads},
           {"conflicts", status.conflicts},
           {"lastError", status.lastError ? json::value(*status.lastError) : nullptr},
           {"anchor", status.anchor ? json::value(*status.anchor) : nullptr}});
  } else if (op == "retryNow") {
    drive.retryNow();
    reply({});
  } else if (op == "pin") {
    const json::value* pinned = request.if_contains("pinned");
    std::string why;
    if (drive.pin(stringMember(request, "path"), pinned && pinned->is_bool() && pinned->as_bool(),
                  why)) {
      reply({});
    } else {
      reply({{"error", errorToJson(posixError(EINVAL, why))}});
    }
  } else if (op == "remove") {
    const json::value* bound = request.if_contains("boundMilliseconds");
    const auto left = drive.prepareForRemoval(std::chrono::milliseconds(
        bound && bound->is_int64() ? bound->as_int64() : std::int64_t{30000}));
    reply({{"keptAside", left.keptAside},
           {"folder", left.folder.string()},
           {"pendingUploads", left.pendingUploads}});
  } else {
    reply({{"error", errorToJson(posixError(EINVAL, "unknown request \"" + op + "\""))}});
  }
}

}  // namespace

int runDriveWorker(const std::string& identifier) {
  struct stat info {};
  if (::fstat(kControlFd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
    std::cerr << "folium-fileproviderd: --drive is for the service's own use; run "
                 "folium-fileproviderd without arguments (or `foliumctl domains add`)\n";
    return 2;
  }
  // Programs the drive starts (fusermount3) must not hold the supervisor's channel open.
  ::fcntl(kControlFd, F_SETFD, FD_CLOEXEC);
  auto control = std::make_shared<LineChannel>(kControlFd);
  auto fatal = [&](const std::string& message) {
    serviceLog(identifier + ": " + message);
    control->writeObject({{"fatal", message}});
    return 1;
  };

  const auto config = control->readObject(std::chrono::seconds(30));
  if (!config) return fatal("the service sent no configuration");
  drive::DriveOptions options;
  options.domain = {identifier, stringMember(*config, "displayName")};
  options.mountPoint = stringMember(*config, "mountPoint");
  options.stateDirectory = stringMember(*config, "stateDirectory");
  options.pollInterval = pollInterval();
  options.cacheLimit = cacheLimit();

  std::unique_ptr<drive::Drive> drive;
  try {
    drive = drive::makeDrive(options);
  } catch (const std::exception& e) {
    return fatal(e.what());
  }

  runningDrive = drive.get();
  struct sigaction action {};
  action.sa_handler = stopOnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);

  // Signals stay blocked on this thread's helpers, so they reach the main thread, whose
  // blocking calls they interrupt.
  std::thread listener([&drive, control] {
    while (auto request = control->readObject()) serve(*drive, control, *request);
    // The supervisor is gone, or let go of us: the drive unmounts.
    ::kill(::getpid(), SIGTERM);
  });

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  int status = 0;
  try {
    drive->run();
  } catch (const std::exception& e) {
    status = fatal(e.what());
  }
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  runningDrive = nullptr;
  control->shutdown();
  listener.join();
  drive.reset();
  return status;
}

}  // namespace folium::platform::service

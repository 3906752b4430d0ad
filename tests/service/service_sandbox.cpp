#include "tests/service/service_sandbox.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "platform/fileprovider/service/mount_table.hpp"

namespace folium::testing {
namespace fs = std::filesystem;

namespace {

// The file, or nothing once it is gone (a process that exited meanwhile).
std::string readAll(const fs::path& path) {
  try {
    return readFile(path);
  } catch (const std::exception&) {
    return {};
  }
}

std::vector<std::string> splitNul(const std::string& text) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, '\0')) parts.push_back(part);
  return parts;
}

}  // namespace

ServiceSandbox::ServiceSandbox() : env_(dir_.isolatedEnv()) {}

ServiceSandbox::~ServiceSandbox() {
  inProcess_.reset();
  // The supervisor unmounts its drives on SIGTERM; whatever still runs after that is killed.
  for (int pid : supervisors()) ::kill(pid, SIGTERM);
  eventually([&] { return supervisors().empty() && workers().empty(); }, std::chrono::seconds(20));
  // A worker waiting on its own mount dies only once the mount's requests are failed.
  for (const auto& mount : mounts()) platform::service::abortFuseConnection(mount);
  for (int pid : processes(false, {})) ::kill(pid, SIGKILL);
  for (int pid : processes(true, {})) ::kill(pid, SIGKILL);
  eventually([&] { return supervisors().empty() && workers().empty(); }, std::chrono::seconds(5));
  for (const auto& mount : mounts()) {
    runProcess({"fusermount3", "-u", "-z", mount.string()}, {}, {}, std::chrono::seconds(10));
  }
}

ProcessResult ServiceSandbox::foliumctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{programPath("foliumctl").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, env_);
}

std::vector<int> ServiceSandbox::processes(bool worker, const std::string& identifier) const {
  std::vector<int> found;
  const std::string home = "HOME=" + this->home().string();
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    const fs::path exe = fs::read_symlink(entry.path() / "exe", linkError);
    if (linkError || exe.filename() != "folium-fileproviderd") continue;
    // A zombie has no environment left: it is gone for our purposes.
    const auto environment = splitNul(readAll(entry.path() / "environ"));
    if (std::find(environment.begin(), environment.end(), home) == environment.end()) continue;
    const auto argv = splitNul(readAll(entry.path() / "cmdline"));
    const bool isWorker = argv.size() >= 3 && argv[1] == "--drive";
    if (isWorker != worker) continue;
    if (worker && !identifier.empty() && argv[2] != identifier) continue;
    found.push_back(std::stoi(name));
  }
  return found;
}

std::vector<int> ServiceSandbox::supervisors() const { return processes(false, {}); }

std::vector<int> ServiceSandbox::workers(const std::string& identifier) const {
  return processes(true, identifier);
}

std::vector<fs::path> ServiceSandbox::mounts() const {
  std::vector<fs::path> found;
  for (const auto& mount : platform::service::readMountTable()) {
    if (mount.mountPoint.string().starts_with(dir_.path().string() + "/")) {
      found.push_back(mount.mountPoint);
    }
  }
  return found;
}

void ServiceSandbox::enterInProcess() { inProcess_.emplace(env_); }

}  // namespace folium::testing

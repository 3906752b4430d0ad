#include "bench/support/devserver_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace folium::bench {
namespace {

std::filesystem::path makePrivateTempDir(const std::filesystem::path& parent) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = "/tmp";
  if (!parent.empty()) {
    base = parent.string();
  } else if (tmp != nullptr && *tmp != '\0') {
    base = tmp;
  }
  std::string pattern = base + "/folium-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {  // mkdtemp makes it 0700
    throw std::system_error(errno, std::generic_category(), "cannot create " + pattern);
  }
  return pattern;
}

bool waitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

std::filesystem::path programDirectory() {
  return std::filesystem::canonical("/proc/self/exe").parent_path();
}

DevserverProcess::DevserverProcess(const std::vector<std::string>& extraArgs,
                                   const std::filesystem::path& parent)
    : dir_(makePrivateTempDir(parent)) {
  const std::filesystem::path program = programDirectory() / "folium-devserver";
  const std::filesystem::path data = dir_ / "data";
  const std::filesystem::path out = dir_ / "stdout";
  std::filesystem::create_directory(data);

  std::vector<std::string> args{program.string(), "--data", data.string(), "--token", token_,
                                "--port",         "0"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // The server's stdout goes to a file, so that nothing it prints can ever block it.
  const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (outFd < 0)
    throw std::system_error(errno, std::generic_category(), "cannot open " + out.string());
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(outFd, STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    static constexpr char kMessage[] = "cannot start folium-devserver\n";
    [[maybe_unused]] auto ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::_exit(127);
  }
  ::close(outFd);
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");

  // Seeding a large tree can take a while before the server listens and prints its URL.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  while (baseURL_.empty()) {
    std::ifstream in(out);
    std::string line;
    if (std::getline(in, line) && !in.eof()) {
      baseURL_ = line;
      break;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      stop();
      throw std::runtime_error("folium-devserver exited before printing its address");
    }
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      throw std::runtime_error("folium-devserver printed no address in time");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

DevserverProcess::~DevserverProcess() { stop(); }

void DevserverProcess::stop() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    if (!waitForExit(pid_, std::chrono::seconds(10))) {
      ::kill(pid_, SIGKILL);
      waitForExit(pid_, std::chrono::seconds(10));
    }
    pid_ = -1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string DevserverProcess::apiURL(const std::string& path) const {
  return baseURL_ + "api/v1/" + path;
}

}  // namespace folium::bench

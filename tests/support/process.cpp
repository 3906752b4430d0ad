#include "tests/support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/files/file_descriptor.hpp"
#include "platform/files/private_folder.hpp"
#include "platform/files/whole_file.hpp"
#include "platform/threads/child_signals.hpp"

extern char** environ;

namespace folium::testing {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Fd = platform::FileDescriptor;

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::pair<Fd, Fd> makePipe() {  // read end, write end
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe2");
  return {Fd(fds[0]), Fd(fds[1])};
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Starts `argv` with the test's environment and `env` applied (an empty value removes a
// variable). -1 for a child descriptor: /dev/null for stdin, the test's own for the others.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            int stdinFd, int stdoutFd, int stderrFd) {
  if (argv.empty()) throw std::invalid_argument("cannot run a program: the command line is empty");
  std::vector<std::string> args = argv, environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (!env.contains(std::string(text.substr(0, text.find('='))))) environment.emplace_back(text);
  }
  for (const auto& [name, value] : env) {
    if (!value.empty()) environment.push_back(name + "=" + value);
  }
  std::vector<char*> argPointers = pointers(args);
  std::vector<char*> envPointers = pointers(environment);

  // fork and exec rather than posix_spawn: the child must die with the test, so that a test
  // that aborts never leaves a server behind holding the test runner's output open. Between
  // fork and exec only async-signal-safe calls are made.
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "cannot start " + argv[0]);
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    if (stdinFd < 0) stdinFd = ::open("/dev/null", O_RDONLY);
    if (stdinFd >= 0) ::dup2(stdinFd, STDIN_FILENO);
    if (stdoutFd >= 0) ::dup2(stdoutFd, STDOUT_FILENO);
    if (stderrFd >= 0) ::dup2(stderrFd, STDERR_FILENO);
    platform::resetSignalsForExec();  // an ignored SIGPIPE of the test's must not pass on
    ::execvpe(argPointers[0], argPointers.data(), envPointers.data());
    ::_exit(127);
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// The child's wait status once it exits, or once it is killed at `deadline`; whether it
// had to be killed.
std::pair<int, bool> reap(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return {status, false};
    if (done < 0 && errno != EINTR) return {-1, false};
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(5ms);
  }
  ::kill(pid, SIGKILL);
  return {waitFor(pid), true};
}

int millisecondsUntil(Clock::time_point deadline) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

}  // namespace

std::filesystem::path programPath(std::string_view name) {
#ifdef FOLIUM_BIN_DIR
  return std::filesystem::path(FOLIUM_BIN_DIR) / name;
#else
  // Benchmarks run from the build's bin/ folder, next to the programs they start.
  return std::filesystem::canonical("/proc/self/exe").parent_path() / name;
#endif
}

ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, std::string_view stdinData,
                         std::chrono::seconds timeout) {
  auto [inputRead, input] = makePipe();
  auto [output, outputWrite] = makePipe();
  auto [errors, errorsWrite] = makePipe();
  const pid_t pid = spawn(argv, env, inputRead.get(), outputWrite.get(), errorsWrite.get());
  inputRead.reset();
  outputWrite.reset();
  errorsWrite.reset();

  // A program that stops reading its input early must not take the test down with SIGPIPE;
  // its children start with the default handling again (spawn()).
  static const bool ignoringSigpipe = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)ignoringSigpipe;
  if (stdinData.empty()) input.reset();
  if (input && ::fcntl(input.get(), F_SETFL, O_NONBLOCK) < 0) throwErrno("fcntl");

  ProcessResult result;
  const auto deadline = Clock::now() + timeout;
  char buffer[65536];
  while ((output || errors) && millisecondsUntil(deadline) > 0) {
    pollfd fds[3] = {
        {output.get(), POLLIN, 0}, {errors.get(), POLLIN, 0}, {input.get(), POLLOUT, 0}};
    if (::poll(fds, 3, std::min(millisecondsUntil(deadline), 1000)) < 0) {
      if (errno == EINTR) continue;
      throwErrno("poll");
    }
    for (auto [fd, text, polled] :
         {std::tuple{&output, &result.out, fds[0]}, std::tuple{&errors, &result.err, fds[1]}}) {
      if (polled.fd < 0 || polled.revents == 0) continue;
      const ssize_t n = ::read(polled.fd, buffer, sizeof buffer);
      if (n > 0) {
        text->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fd->reset();
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = ::write(input.get(), stdinData.data(), stdinData.size());
      if (n > 0) stdinData.remove_prefix(static_cast<size_t>(n));
      // A child that stops reading early just does not get the rest.
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || stdinData.empty()) input.reset();
    }
  }
  // The child may outlive its output streams; the deadline holds for its exit too.
  const auto [status, killed] = reap(pid, deadline);
  result.exitCode = killed || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
  if (killed) {
    result.err += "\n[test support: " + argv[0] + " killed after " +
                  std::to_string(timeout.count()) + " s]\n";
  }
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::map<std::string, std::string>& env) {
  auto [output, outputWrite] = makePipe();
  pid_ = spawn(argv, env, -1, outputWrite.get(), -1);
  stdoutFd_ = output.release();
}

BackgroundProcess::~BackgroundProcess() {
  if (!exited_ && pid_ > 0) {
    // Give it a moment to clean up, then insist.
    ::kill(pid_, SIGTERM);
    reap(pid_, Clock::now() + 5s);
  }
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

std::string BackgroundProcess::readLine(std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (stdoutFd_ < 0) throw std::runtime_error("program closed its output before a full line");
    if (millisecondsUntil(deadline) <= 0) {
      throw std::runtime_error("no line from the program within " +
                               std::to_string(timeout.count()) + " s");
    }
    pollfd fd{stdoutFd_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, millisecondsUntil(deadline));
    if (ready < 0 && errno != EINTR) throwErrno("poll");
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(stdoutFd_, buffer, sizeof buffer);
    if (n > 0) {
      buffer_.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(std::exchange(stdoutFd_, -1));
    }
  }
}

int BackgroundProcess::stop(int signal) {
  if (!exited_) {
    ::kill(pid_, signal);
    const int status = waitFor(pid_);
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    exited_ = true;
  }
  return exitCode_;
}

TempDir::TempDir(const std::filesystem::path& parent) {
  const char* base = std::getenv("TMPDIR");
  const std::filesystem::path folder =
      !parent.empty() ? parent : (base != nullptr && *base != '\0' ? base : "/tmp");
  std::string pattern = (folder / "folium-test-XXXXXX").string();
  // mkdtemp makes the folder 0700.
  if (::mkdtemp(pattern.data()) == nullptr) throwErrno("mkdtemp " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::map<std::string, std::string> TempDir::isolatedEnv() const {
  const auto home = path_ / "home";
  std::map<std::string, std::string> env = {
      {"HOME", home.string()},
      {"XDG_DATA_HOME", (home / ".local/share").string()},
      {"XDG_CONFIG_HOME", (home / ".config").string()},
      {"XDG_STATE_HOME", (home / ".local/state").string()},
      {"XDG_CACHE_HOME", (home / ".cache").string()},
      {"XDG_RUNTIME_DIR", (path_ / "runtime").string()},
  };
  for (const auto& [name, value] : env) platform::makePrivateFolder(value);
  // The developer's own choices must not leak into an isolated run.
  env["FOLIUM_SECRET_STORE"] = "";
  env["FOLIUM_DRIVES_DIR"] = "";
  return env;
}

ScopedEnv::ScopedEnv(const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
    value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
  }
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
}

bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

bool fuseAvailable() { return ::access("/dev/fuse", R_OK | W_OK) == 0; }

std::string readFile(const std::filesystem::path& path) { return platform::readWholeFile(path); }

unsigned fileMode(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::set<std::string> folderEntries(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

void writeFile(const std::filesystem::path& path, std::string_view contents) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) throwErrno("cannot write " + path.string());
  while (!contents.empty()) {
    const ssize_t n = ::write(fd.get(), contents.data(), contents.size());
    if (n < 0 && errno != EINTR) throwErrno("cannot write " + path.string());
    if (n > 0) contents.remove_prefix(static_cast<size_t>(n));
  }
  if (const int error = fd.close(); error != 0) {
    errno = error;
    throwErrno("cannot write " + path.string());
  }
}

}  // namespace folium::testing

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
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/files/file_descriptor.hpp"
#include "platform/files/whole_file.hpp"

extern char** environ;

namespace folium::testing {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

using Fd = platform::FileDescriptor;

struct Pipe {
  Fd read;
  Fd write;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe2");
  return {Fd(fds[0]), Fd(fds[1])};
}

// The test's own environment with `overrides` applied; an empty value removes a variable.
std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& overrides) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    merged[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
  }
  for (const auto& [name, value] : overrides) {
    if (value.empty()) {
      merged.erase(name);
    } else {
      merged[name] = value;
    }
  }
  std::vector<std::string> result;
  result.reserve(merged.size());
  for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

struct ChildFds {
  int stdinFd = -1;   // -1: /dev/null
  int stdoutFd = -1;  // -1: the test's own
  int stderrFd = -1;  // -1: the test's own
};

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const ChildFds& fds) {
  if (argv.empty()) throw std::invalid_argument("cannot run a program: the command line is empty");
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = mergedEnvironment(env);
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
    int devNull = -1;
    if (fds.stdinFd >= 0) {
      ::dup2(fds.stdinFd, STDIN_FILENO);
    } else if ((devNull = ::open("/dev/null", O_RDONLY)) >= 0) {
      ::dup2(devNull, STDIN_FILENO);
    }
    if (fds.stdoutFd >= 0) ::dup2(fds.stdoutFd, STDOUT_FILENO);
    if (fds.stderrFd >= 0) ::dup2(fds.stderrFd, STDERR_FILENO);
    // The child starts with default signal handling and nothing blocked, whatever the test
    // process did to its own (an ignored SIGPIPE would otherwise be inherited).
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execvpe(argPointers[0], argPointers.data(), envPointers.data());
    ::_exit(127);
  }
  return pid;
}

int exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

void setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) throwErrno("fcntl");
}

void makePrivateDirectory(const std::filesystem::path& path) {
  std::filesystem::create_directories(path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
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
  Pipe input = makePipe();
  Pipe output = makePipe();
  Pipe errors = makePipe();
  const pid_t pid = spawn(argv, env, {input.read.get(), output.write.get(), errors.write.get()});
  input.read.reset();
  output.write.reset();
  errors.write.reset();

  // A program that stops reading its input early must not take the test down with SIGPIPE;
  // its children start with the default handling again (spawn()).
  static const bool ignoringSigpipe = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)ignoringSigpipe;
  ProcessResult result;
  setNonBlocking(input.write.get());
  if (stdinData.empty()) input.write.reset();
  size_t stdinWritten = 0;

  const auto deadline = Clock::now() + timeout;
  bool timedOut = false;
  char buffer[65536];
  while (output.read.get() >= 0 || errors.read.get() >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    pollfd fds[3] = {{output.read.get(), POLLIN, 0},
                     {errors.read.get(), POLLIN, 0},
                     {input.write.get(), POLLOUT, 0}};
    int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throwErrno("poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        (i == 0 ? output.read : errors.read).reset();
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      ssize_t n = ::write(input.write.get(), stdinData.data() + stdinWritten,
                          stdinData.size() - stdinWritten);
      if (n > 0) stdinWritten += static_cast<size_t>(n);
      // A child that stops reading early just does not get the rest.
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || stdinWritten == stdinData.size()) {
        input.write.reset();
      }
    }
  }
  // The child may outlive its output streams; the deadline holds for its exit too.
  int status = 0;
  while (!timedOut) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (Clock::now() >= deadline) {
      timedOut = true;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (timedOut) {
    ::kill(pid, SIGKILL);
    status = waitFor(pid);
  }
  result.exitCode = timedOut || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
  if (timedOut) {
    result.err += "\n[test support: " + argv[0] + " killed after " +
                  std::to_string(timeout.count()) + " s]\n";
  }
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::map<std::string, std::string>& env) {
  Pipe output = makePipe();
  pid_ = spawn(argv, env, {-1, output.write.get(), -1});
  stdoutFd_ = output.read.release();
}

BackgroundProcess::~BackgroundProcess() {
  if (!exited_ && pid_ > 0) {
    ::kill(pid_, SIGTERM);
    // Give it a moment to clean up, then insist.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
      ::kill(pid_, SIGKILL);
      waitFor(pid_);
    }
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
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      throw std::runtime_error("no line from the program within " +
                               std::to_string(timeout.count()) + " s");
    }
    pollfd fd{stdoutFd_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) throwErrno("poll");
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(stdoutFd_, buffer, sizeof buffer);
    if (n > 0) {
      buffer_.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(stdoutFd_);
      stdoutFd_ = -1;
    }
  }
}

int BackgroundProcess::stop(int signal) {
  if (!exited_) {
    ::kill(pid_, signal);
    exitCode_ = exitCodeOf(waitFor(pid_));
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
  makePrivateDirectory(home);
  makePrivateDirectory(home / ".local");
  for (const auto& [name, value] : env) makePrivateDirectory(value);
  // The developer's own choices must not leak into an isolated run.
  env["FOLIUM_SECRET_STORE"] = "";
  env["FOLIUM_DRIVES_DIR"] = "";
  return env;
}

std::string readFile(const std::filesystem::path& path) { return platform::readWholeFile(path); }

void writeFile(const std::filesystem::path& path, std::string_view contents) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.get() < 0) throwErrno("cannot write " + path.string());
  size_t written = 0;
  while (written < contents.size()) {
    ssize_t n = ::write(fd.get(), contents.data() + written, contents.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("cannot write " + path.string());
    }
    written += static_cast<size_t>(n);
  }
  if (::close(fd.release()) != 0) throwErrno("cannot write " + path.string());
}

}  // namespace folium::testing

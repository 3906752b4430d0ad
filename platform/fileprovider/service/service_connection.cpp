#include "platform/fileprovider/service/service_connection.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/fileprovider/service/line_channel.hpp"
#include "platform/fileprovider/service/service_paths.hpp"
#include "platform/files/private_folder.hpp"
#include "platform/threads/child_signals.hpp"

extern char** environ;

namespace folium::platform::service {
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr const char* kProgram = "folium-fileproviderd";

// A connected descriptor, or -1 when nothing listens there (no socket, or a stale one).
int tryConnect(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof address.sun_path) {
    throw std::runtime_error("the drive service's socket path " + path.string() +
                             " is too long; set XDG_RUNTIME_DIR to a shorter folder");
  }
  std::strcpy(address.sun_path, path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot make a socket");
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  const int error = errno;
  ::close(fd);
  if (error == ENOENT || error == ECONNREFUSED) return -1;
  throw std::system_error(error, std::generic_category(),
                          "cannot reach the drive service at " + path.string());
}

// The supervisor beside the running program, else the one on PATH.
std::string supervisorProgram() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    const fs::path beside = self.parent_path() / kProgram;
    if (::access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  return kProgram;
}

// Starts the supervisor in a session of its own, so it outlives the caller and its
// terminal. Its messages go to a private log file in the state folder.
void startSupervisor() {
  const std::string program = supervisorProgram();
  makePrivateFolder(stateDirectory());
  const fs::path logPath = stateDirectory() / "fileproviderd.log";
  // The log starts afresh once it has grown large.
  std::error_code sizeError;
  const bool large = fs::file_size(logPath, sizeError) > (1u << 20) && !sizeError;
  const int log = ::open(logPath.c_str(),
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (large ? O_TRUNC : 0), 0600);
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  std::vector<char*> argv{const_cast<char*>(program.c_str()), nullptr};
  // The program's start tells its outcome through this pipe: closed by a successful exec,
  // the error's number written when exec fails.
  int started[2] = {-1, -1};
  if (::pipe2(started, O_CLOEXEC) != 0) started[0] = started[1] = -1;

  // Only async-signal-safe calls between fork and exec: the caller may have threads.
  const pid_t child = ::fork();
  if (child < 0) {
    const int error = errno;
    for (const int fd : {log, devNull, started[0], started[1]}) {
      if (fd >= 0) ::close(fd);
    }
    throw std::system_error(error, std::generic_category(), "cannot start " + program);
  }
  if (child == 0) {
    ::setsid();
    // What goes wrong from here is told in the log (write(2) only, with the error's number).
    auto fail = [](int to, const char* what) {
      const int error = errno;
      char digits[12];
      int at = sizeof digits;
      digits[--at] = '\n';
      int value = error;
      do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
      } while (value > 0 && at > 0);
      if (to >= 0) {
        [[maybe_unused]] auto written = ::write(to, what, std::strlen(what));
        written = ::write(to, digits + at, sizeof digits - at);
      }
      ::_exit(1);
    };
    const pid_t grandchild = ::fork();
    if (grandchild < 0)
      fail(log, "folium-fileproviderd: the drive service could not be started: errno ");
    if (grandchild > 0) ::_exit(0);
    // Kept apart from the standard descriptors, then at 3, closed on exec.
    const int outcome = started[1] >= 0 ? ::fcntl(started[1], F_DUPFD_CLOEXEC, 10) : -1;
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      ::dup2(devNull, STDOUT_FILENO);
    }
    ::dup2(log >= 0 ? log : devNull, STDERR_FILENO);
    if (outcome >= 0 && ::dup2(outcome, 3) == 3) {
      ::fcntl(3, F_SETFD, FD_CLOEXEC);
      ::close_range(4, ~0U, 0);
    } else {
      ::close_range(3, ~0U, 0);
    }
    platform::resetSignalsForExec();
    ::execvpe(argv[0], argv.data(), environ);
    if (outcome >= 0) {
      const int error = errno;
      [[maybe_unused]] auto written = ::write(3, &error, sizeof error);
    }
    fail(STDERR_FILENO,
         "folium-fileproviderd: the drive service's program could not be run: errno ");
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (log >= 0) ::close(log);
  if (devNull >= 0) ::close(devNull);
  int execError = 0;
  if (started[1] >= 0) ::close(started[1]);
  if (started[0] >= 0) {
    ssize_t got = 0;
    while ((got = ::read(started[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    if (got != sizeof execError) execError = 0;
    ::close(started[0]);
  }
  if (execError != 0) {
    throw std::runtime_error("cannot run the drive service (" + program +
                             "): " + std::strerror(execError) + "; install " + kProgram +
                             " beside this program or on PATH");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("the drive service (" + program + ") could not be started; see " +
                             logPath.string());
  }
}

// Connects, starting the supervisor first when nothing answers.
std::shared_ptr<LineChannel> connectToService() {
  const fs::path path = socketPath();
  if (int fd = tryConnect(path); fd >= 0) return std::make_shared<LineChannel>(fd);
  makePrivateFolder(socketDirectory());
  // Clients that find no supervisor take turns: the first starts it, the others then find
  // it answering.
  const fs::path lockPath = socketDirectory() / "start.lock";
  const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + lockPath.string());
  }
  while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
  }
  struct Unlock {
    int fd;
    ~Unlock() { ::close(fd); }
  } unlock{lock};
  if (int fd = tryConnect(path); fd >= 0) return std::make_shared<LineChannel>(fd);
  startSupervisor();
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (int fd = tryConnect(path); fd >= 0) return std::make_shared<LineChannel>(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error("the drive service (" + supervisorProgram() + ") did not start; see " +
                           (stateDirectory() / "fileproviderd.log").string());
}

json::object failure(int code, const std::string& description) {
  return json::object{{"error", errorToJson(posixError(code, description))}};
}

}  // namespace

struct ServiceConnection::State : std::enable_shared_from_this<ServiceConnection::State> {
  struct Pending {
    json::object request;
    ReplyHandler done;
    bool resent = false;
  };

  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  std::deque<Pending> queue;             // not yet sent
  std::map<std::int64_t, Pending> sent;  // sent on `channel`, waiting for their reply
  std::shared_ptr<LineChannel> channel;
  bool answered = false;  // `channel` brought at least one reply
  bool stopping = false;
  std::int64_t nextId = 1;
  std::thread sender;  // joined by the connection's destructor; readers run detached, each
                       // holding the state, and end when their socket is shut down

  void send();
  void read(std::shared_ptr<LineChannel> from);
};

void ServiceConnection::State::send() {
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait(lock, [&] { return stopping || !queue.empty(); });
    if (stopping) break;
    if (!channel) {
      lock.unlock();
      std::shared_ptr<LineChannel> opened;
      json::object error;
      try {
        opened = connectToService();
      } catch (const std::system_error& e) {
        error = failure(e.code().value(), e.what());
      } catch (const std::exception& e) {
        error = failure(EHOSTDOWN, e.what());
      }
      lock.lock();
      if (!opened) {
        // Everything waiting would meet the same failure.
        std::deque<Pending> failed;
        failed.swap(queue);
        lock.unlock();
        for (auto& pending : failed) pending.done(error);
        lock.lock();
        continue;
      }
      channel = opened;
      answered = false;
      std::thread([self = shared_from_this(), opened] { self->read(opened); }).detach();
    }
    Pending pending = std::move(queue.front());
    queue.pop_front();
    const std::int64_t id = nextId++;
    pending.request["id"] = id;
    json::object request = pending.request;
    sent.emplace(id, std::move(pending));
    std::shared_ptr<LineChannel> to = channel;
    lock.unlock();
    // A failed write shows as the end of the stream to the reader, which settles `sent`.
    if (!to->writeObject(request)) to->shutdown();
    lock.lock();
  }
  std::deque<Pending> failed;
  failed.swap(queue);
  lock.unlock();
  for (auto& pending : failed)
    pending.done(failure(ECANCELED, "the drive service client was closed"));
}

void ServiceConnection::State::read(std::shared_ptr<LineChannel> from) {
  while (auto reply = from->readObject()) {
    const json::value* id = reply->if_contains("id");
    if (id == nullptr || !id->is_int64()) continue;
    Pending pending;
    {
      std::lock_guard lock(mutex);
      auto found = sent.find(id->as_int64());
      if (found == sent.end()) continue;
      pending = std::move(found->second);
      sent.erase(found);
      answered = true;
    }
    reply->erase("id");
    pending.done(std::move(*reply));
  }
  std::vector<Pending> failed;
  {
    std::lock_guard lock(mutex);
    if (channel == from) channel.reset();
    // A supervisor that was just exiting for want of clients closes a connection it never
    // read from: what was sent on it is sent once more, to the supervisor started anew.
    for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
      if (!answered && !it->second.resent && !stopping) {
        it->second.resent = true;
        it->second.request.erase("id");
        queue.push_front(std::move(it->second));
      } else {
        failed.push_back(std::move(it->second));
      }
    }
    sent.clear();
    changed.notify_all();
  }
  for (auto& pending : failed) {
    pending.done(failure(ECONNRESET, "the drive service stopped before it answered; try again"));
  }
}

ServiceConnection::ServiceConnection() : state_(std::make_shared<State>()) {
  state_->sender = std::thread([state = state_] { state->send(); });
}

ServiceConnection::~ServiceConnection() {
  std::shared_ptr<LineChannel> channel;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    channel = state_->channel;
    state_->changed.notify_all();
  }
  if (channel) channel->shutdown();
  // The last reference may be dropped inside a reply handler, on one of our own threads:
  // that thread cannot be joined, so it keeps the state alive until it ends.
  auto finish = [](std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  };
  finish(state_->sender);
}

void ServiceConnection::call(json::object request, ReplyHandler done) {
  std::lock_guard lock(state_->mutex);
  state_->queue.push_back({std::move(request), std::move(done)});
  state_->changed.notify_all();
}

json::object ServiceConnection::callAndWait(json::object request) {
  auto promise = std::make_shared<std::promise<json::object>>();
  auto future = promise->get_future();
  call(std::move(request), [promise](json::object reply) { promise->set_value(std::move(reply)); });
  return future.get();
}

}  // namespace folium::platform::service

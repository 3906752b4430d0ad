#include "platform/fileprovider/service/supervisor.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/fileprovider/item_identifier.hpp"
#include "platform/fileprovider/service/line_channel.hpp"
#include "platform/fileprovider/service/mount_table.hpp"
#include "platform/fileprovider/service/service_log.hpp"
#include "platform/fileprovider/service/service_paths.hpp"
#include "platform/fileprovider/service/service_settings.hpp"
#include "platform/files/private_folder.hpp"
#include "platform/threads/child_signals.hpp"

extern char** environ;

namespace folium::platform::service {
namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;

namespace {

// A supervisor started for a client that then never connects still goes away.
constexpr auto kIdleGrace = 10s;
constexpr auto kLeavingWait = 10s;  // for a supervisor on its way out to let go of the lock
// How long a drive has to unmount cleanly before it is killed.
constexpr auto kStopTimeout = 15s;
// A worker that ran this long before dying starts its back-off afresh.
constexpr auto kHealthyRun = 60s;
constexpr auto kMaxBackOff = 60s;

void log(const std::string& message) { serviceLog(message); }

bool isMountPoint(const fs::path& path) { return mountedDevice(path).has_value(); }

// Runs `fusermount3 -u -z PATH` to its end; whether it succeeded.
bool lazyUnmount(const fs::path& path) {
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
      ::dup2(devNull, STDIN_FILENO);
      ::dup2(devNull, STDOUT_FILENO);
    }
    ::close_range(3, ~0U, 0);
    ::execlp("fusermount3", "fusermount3", "-u", "-z", path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A mount left behind by a worker that was killed answers ENOTCONN; it is taken down so the
// new worker can mount there again.
void recoverStaleMount(const fs::path& mountPoint) {
  struct stat info {};
  if (::stat(mountPoint.c_str(), &info) != 0 && errno == ENOTCONN) {
    log("taking down the stale mount at " + mountPoint.string());
    if (!lazyUnmount(mountPoint)) log("cannot unmount " + mountPoint.string());
  }
}

std::string describeExit(int status) {
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + ::strsignal(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

json::object failureReply(int code, const std::string& description,
                          const std::string& identifier = {}) {
  UserInfo info;
  if (!identifier.empty()) info["identifier"] = identifier;
  return json::object{{"error", errorToJson(std::make_shared<const ErrorObject>(
                                    std::string(NSPOSIXErrorDomain), code, description, info))}};
}

}  // namespace

// The control channel with one worker: requests with an id, answered in any order; lines
// without an id are the worker's own news (a fatal error before it exits).
class WorkerLink {
 public:
  explicit WorkerLink(int fd) : channel_(fd) {
    reader_ = std::thread([this] { read(); });
  }
  ~WorkerLink() {
    channel_.shutdown();
    reader_.join();
  }
  WorkerLink(const WorkerLink&) = delete;
  WorkerLink& operator=(const WorkerLink&) = delete;

  bool send(const json::object& object) { return channel_.writeObject(object); }

  // The reply, or none when the worker is gone or did not answer in time.
  std::optional<json::object> request(json::object request, std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<std::optional<json::object>>>();
    auto reply = promise->get_future();
    std::int64_t id = 0;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return std::nullopt;
      id = nextId_++;
      waiting_[id] = promise;
    }
    request["id"] = id;
    if (!channel_.writeObject(request) || reply.wait_for(timeout) != std::future_status::ready) {
      std::lock_guard lock(mutex_);
      waiting_.erase(id);
      return std::nullopt;
    }
    return reply.get();
  }

  // Waits until the worker's end of the channel is closed (its process has exited), so that
  // what it said last has been read.
  void waitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    closedChanged_.wait_for(lock, timeout, [&] { return closed_; });
  }

  std::optional<std::string> fatal() const {
    std::lock_guard lock(mutex_);
    return fatal_;
  }

 private:
  void read() {
    while (auto object = channel_.readObject()) {
      const json::value* id = object->if_contains("id");
      if (id == nullptr || !id->is_int64()) {
        if (const auto message = stringMember(*object, "fatal"); !message.empty()) {
          std::lock_guard lock(mutex_);
          fatal_ = message;
        }
        continue;
      }
      std::shared_ptr<std::promise<std::optional<json::object>>> promise;
      {
        std::lock_guard lock(mutex_);
        auto found = waiting_.find(id->as_int64());
        if (found == waiting_.end()) continue;
        promise = found->second;
        waiting_.erase(found);
      }
      object->erase("id");
      promise->set_value(std::move(*object));
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& [id, promise] : waiting_) promise->set_value(std::nullopt);
    waiting_.clear();
    closedChanged_.notify_all();
  }

  LineChannel channel_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable closedChanged_;
  std::map<std::int64_t, std::shared_ptr<std::promise<std::optional<json::object>>>> waiting_;
  std::int64_t nextId_ = 1;
  bool closed_ = false;
  std::optional<std::string> fatal_;
  std::thread reader_;  // last: starts once the rest exists
};

struct Supervisor::Worker {
  FileProviderDomain domain;
  fs::path mountPoint;
  // Guarded by the supervisor's mutex_:
  pid_t pid = -1;
  std::shared_ptr<WorkerLink> link;
  bool stopping = false;  // removed, or the supervisor stops: never restarted
  int failures = 0;       // deaths in a row, each soon after its start
  Clock::TimePoint startedAt{};
  std::optional<Clock::TimerId> restartTimer;
  std::optional<std::string> lastError;  // why the worker last stopped on its own
  std::thread monitor;                   // waits for the process's exit
};

Supervisor::Supervisor(fs::path program)
    : program_(std::move(program)), drivesDir_(drivesDirectory()), registry_(registryPath()) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Supervisor::~Supervisor() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Supervisor::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

int Supervisor::run() {
  const fs::path directory = socketDirectory();
  const fs::path socket = socketPath();
  try {
    makePrivateFolder(directory);
  } catch (const std::exception& e) {
    log(e.what());
    return 1;
  }
  // The lock is held for the supervisor's whole life: a second one (two clients racing, or
  // a client and the systemd unit) sees it taken and leaves the socket alone.
  const fs::path lockPath = directory / "fileproviderd.lock";
  const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) {
    log("cannot open " + lockPath.string() + ": " + std::strerror(errno));
    return 1;
  }
  // One that holds the lock but has removed its socket is leaving (it went idle as a client
  // arrived): wait for it rather than leave the client with no supervisor at all.
  const auto leaving = std::chrono::steady_clock::now() + kLeavingWait;
  while (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    std::error_code ignored;
    if (fs::exists(socket, ignored) || std::chrono::steady_clock::now() > leaving) {
      log("already running for this user (" + socket.string() + ")");
      ::close(lock);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket.native().size() >= sizeof address.sun_path) {
    log("the socket path " + socket.string() +
        " is too long; set XDG_RUNTIME_DIR to a shorter folder");
    return 1;
  }
  std::strcpy(address.sun_path, socket.c_str());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::unlink(socket.c_str());
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(socket.c_str(), 0600) != 0 || ::listen(listener, 64) != 0) {
    log("cannot listen on " + socket.string() + ": " + std::strerror(errno));
    return 1;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);

  log("serving on " + socket.string());
  {
    std::lock_guard serialised(opMutex_);
    reconcile();
  }

  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    pollfd fds[3] = {{listener, POLLIN, 0}, {signalFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 3, 1000);
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info{};
      [[maybe_unused]] auto count = ::read(signalFd, &info, sizeof info);
      log(std::string("stopping on ") + ::strsignal(static_cast<int>(info.ssi_signo)));
      break;
    }
    if (fds[2].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto read = ::read(wakeFd_, &count, sizeof count);
    }
    if (fds[0].revents & POLLIN) {
      const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        auto channel = std::make_shared<LineChannel>(client);
        {
          std::lock_guard guard(mutex_);
          clients_.insert(channel);
          everConnected_ = true;
        }
        std::thread([this, channel] { serveClient(channel); }).detach();
      }
      continue;
    }
    bool idle = false;
    {
      std::lock_guard guard(mutex_);
      idle = workers_.empty() && clients_.empty() && busy_ == 0 &&
             (everConnected_ || std::chrono::steady_clock::now() - started > kIdleGrace);
    }
    if (idle) {
      try {
        idle = registry_.load().empty();
      } catch (const std::exception&) {
        idle = false;
      }
    }
    if (idle) {
      // A client that connected a moment ago is served rather than dropped.
      pollfd pending{listener, POLLIN, 0};
      if (::poll(&pending, 1, 0) == 0) {
        log("no drive registered and no client connected: leaving");
        break;
      }
    }
  }

  // No new client from here on; the socket goes first, so a client starts a new supervisor
  // rather than talking to one that is leaving.
  ::unlink(socket.c_str());
  ::close(listener);
  std::vector<std::shared_ptr<Worker>> all;
  {
    std::lock_guard serialised(opMutex_);
    {
      std::lock_guard guard(mutex_);
      shuttingDown_ = true;
      for (auto& [identifier, worker] : workers_) all.push_back(worker);
    }
    stopWorkers(all);
  }
  {
    std::unique_lock guard(mutex_);
    for (const auto& client : clients_) client->shutdown();
    changed_.wait_for(guard, 5s, [&] { return clients_.empty() && busy_ == 0; });
  }
  if (signalFd >= 0) ::close(signalFd);
  ::close(lock);
  return 0;
}

void Supervisor::serveClient(std::shared_ptr<LineChannel> channel) {
  while (auto request = channel->readObject()) {
    const std::string op = stringMember(*request, "op");
    json::value id = request->contains("id") ? request->at("id") : json::value(nullptr);
    // Calls answered by a drive may take a while (a listing over the network): they run on
    // their own, so this client's other calls are not held up behind them.
    if (op == "signal" || op == "url" || op == "status" || op == "pin" || op == "retryNow") {
      {
        std::lock_guard guard(mutex_);
        ++busy_;
      }
      std::thread([this, channel, request = std::move(*request), id] {
        json::object reply = handle(request);
        reply["id"] = id;
        channel->writeObject(reply);
        std::lock_guard guard(mutex_);
        --busy_;
        changed_.notify_all();
        wake();
      }).detach();
      continue;
    }
    json::object reply = handle(*request);
    reply["id"] = id;
    if (!channel->writeObject(reply)) break;
  }
  std::lock_guard guard(mutex_);
  clients_.erase(channel);
  changed_.notify_all();
  wake();
}

json::object Supervisor::handle(const json::object& request) {
  const std::string op = stringMember(request, "op");
  const std::string identifier = stringMember(request, "identifier");
  try {
    if (op == "getDomains") {
      const auto domains = registry_.load();
      const auto mounts = driveMountPoints(domains, drivesDir_);
      json::array list;
      for (std::size_t i = 0; i < domains.size(); ++i) {
        list.push_back(json::object{
            {"identifier", domains[i].identifier},
            {"displayName", domains[i].displayName},
            {"path", isMountPoint(mounts[i]) ? json::value(mounts[i].string()) : nullptr}});
      }
      return json::object{{"domains", std::move(list)}};
    }
    if (op == "addDomain") {
      checkDomainIdentifier(identifier);
      const json::value* name = request.if_contains("displayName");
      if (name == nullptr || !name->is_string()) {
        return failureReply(EINVAL, "a domain needs a display name", identifier);
      }
      std::lock_guard serialised(opMutex_);
      registry_.update([&](std::vector<FileProviderDomain>& domains) {
        auto found = std::find_if(domains.begin(), domains.end(),
                                  [&](const auto& d) { return d.identifier == identifier; });
        if (found != domains.end()) {
          found->displayName = std::string(name->as_string());
        } else {
          domains.push_back({identifier, std::string(name->as_string())});
        }
      });
      reconcile();
      return {};
    }
    if (op == "removeDomain") {
      std::lock_guard serialised(opMutex_);
      bool found = false;
      registry_.update([&](std::vector<FileProviderDomain>& domains) {
        const auto before = domains.size();
        std::erase_if(domains, [&](const auto& d) { return d.identifier == identifier; });
        found = domains.size() != before;
      });
      if (!found) {
        return failureReply(ENOENT,
                            "no drive is registered as \"" + identifier +
                                "\"; `foliumctl domains list` shows the registered ones",
                            identifier);
      }
      reconcile();
      return {};
    }
    if (op == "removeAllDomains") {
      std::lock_guard serialised(opMutex_);
      registry_.update([](std::vector<FileProviderDomain>& domains) { domains.clear(); });
      reconcile();
      return {};
    }
    if (op == "signal" || op == "url") {
      return forward(identifier, json::object{{"op", op}, {"item", stringMember(request, "item")}},
                     120s);
    }
    if (op == "status") {
      json::array drives;
      for (const auto& domain : registry_.load()) drives.push_back(driveStatus(domain));
      return json::object{{"drives", std::move(drives)}};
    }
    if (op == "retryNow") {
      for (const auto& domain : registry_.load()) {
        forward(domain.identifier, json::object{{"op", "retryNow"}}, 10s);
      }
      return {};
    }
    if (op == "pin") {
      const fs::path path = fs::path(stringMember(request, "path")).lexically_normal();
      const json::value* pinned = request.if_contains("pinned");
      std::vector<std::pair<std::string, fs::path>> mounts;
      {
        std::lock_guard guard(mutex_);
        for (const auto& [id, worker] : workers_) mounts.emplace_back(id, worker->mountPoint);
      }
      for (const auto& [id, mountPoint] : mounts) {
        const auto relative = path.lexically_relative(mountPoint);
        if (!relative.empty() && *relative.begin() != "..") {
          return forward(id,
                         json::object{{"op", "pin"},
                                      {"path", path.string()},
                                      {"pinned", pinned && pinned->is_bool() && pinned->as_bool()}},
                         120s);
        }
      }
      return failureReply(ENOENT, path.string() + " is not in a Folium drive (the drives are in " +
                                      drivesDir_.string() + ")");
    }
    return failureReply(EINVAL, "unknown request \"" + op + "\"");
  } catch (const std::invalid_argument& e) {
    return failureReply(EINVAL, e.what(), identifier);
  } catch (const std::system_error& e) {
    return failureReply(e.code().value(), e.what(), identifier);
  } catch (const std::exception& e) {
    return failureReply(EIO, e.what(), identifier);
  }
}

std::shared_ptr<Supervisor::Worker> Supervisor::findWorker(const std::string& identifier) {
  std::lock_guard guard(mutex_);
  auto found = workers_.find(identifier);
  return found == workers_.end() ? nullptr : found->second;
}

json::object Supervisor::forward(const std::string& identifier, json::object request,
                                 std::chrono::milliseconds timeout) {
  auto worker = findWorker(identifier);
  if (!worker) {
    return failureReply(ENOENT,
                        "no drive is registered as \"" + identifier +
                            "\"; `foliumctl domains list` shows the registered ones",
                        identifier);
  }
  std::shared_ptr<WorkerLink> link;
  {
    std::lock_guard guard(mutex_);
    link = worker->link;
  }
  const std::string name = worker->domain.displayName;
  if (!link) {
    return failureReply(
        EAGAIN,
        "the drive " + name + " is not running (it restarts on its own); try again in a moment",
        identifier);
  }
  auto reply = link->request(std::move(request), timeout);
  if (!reply) {
    return failureReply(ETIMEDOUT, "the drive " + name + " did not answer; try again", identifier);
  }
  return std::move(*reply);
}

json::object Supervisor::driveStatus(const FileProviderDomain& domain) {
  auto worker = findWorker(domain.identifier);
  json::object status{{"identifier", domain.identifier},
                      {"displayName", domain.displayName},
                      {"path", nullptr},
                      {"state", "starting"},
                      // Unknown until the drive tells: its edits wait in its state meanwhile.
                      {"pendingUploads", nullptr},
                      {"refusedUploads", nullptr},
                      {"conflicts", nullptr},
                      {"lastError", nullptr},
                      {"anchor", nullptr}};
  if (!worker) return status;
  if (isMountPoint(worker->mountPoint)) status["path"] = worker->mountPoint.string();
  std::shared_ptr<WorkerLink> link;
  std::optional<std::string> lastError;
  bool restarting = false;
  {
    std::lock_guard guard(mutex_);
    link = worker->link;
    lastError = worker->lastError;
    restarting = worker->restartTimer.has_value();
  }
  if (link) {
    if (auto reply = link->request(json::object{{"op", "status"}}, 10s)) {
      for (const char* key :
           {"state", "pendingUploads", "refusedUploads", "conflicts", "lastError", "anchor"}) {
        if (const json::value* value = reply->if_contains(key)) status[key] = *value;
      }
      return status;
    }
    // Running, but not answering: stuck, or gone a moment ago.
    status["state"] = "error";
    status["lastError"] = "the drive does not answer";
    return status;
  }
  // No worker to ask: it is on its way back after a failure.
  status["state"] = restarting ? "error" : "starting";
  if (lastError) status["lastError"] = *lastError;
  return status;
}

void Supervisor::reconcile() {
  std::vector<FileProviderDomain> domains;
  try {
    domains = registry_.load();
  } catch (const std::exception& e) {
    log(e.what());
    return;
  }
  const auto mounts = driveMountPoints(domains, drivesDir_);
  std::vector<std::shared_ptr<Worker>> stale;
  {
    std::lock_guard guard(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto found = std::find_if(domains.begin(), domains.end(),
                                [&](const auto& d) { return d.identifier == it->first; });
      // A drive whose folder moves (renamed, or a namesake removed) is mounted anew there.
      if (found == domains.end() || mounts[found - domains.begin()] != it->second->mountPoint) {
        stale.push_back(it->second);
        it = workers_.erase(it);
      } else {
        it->second->domain.displayName = found->displayName;
        ++it;
      }
    }
  }
  // A removed drive first tries to send its waiting edits; what it cannot send is copied
  // where the user finds it, and its replica and cached contents stay, so that adding the
  // drive again resumes. Only a drive known to have nothing left loses its state.
  // Drives removed together try at the same time.
  std::vector<std::pair<std::string, std::future<bool>>> removed;  // whether the state may go
  for (const auto& worker : stale) {
    const auto& id = worker->domain.identifier;
    if (std::any_of(domains.begin(), domains.end(),
                    [&](const auto& d) { return d.identifier == id; })) {
      continue;
    }
    removed.emplace_back(
        id, std::async(std::launch::async, [this, worker] { return finishEdits(*worker); }));
  }
  for (auto& [id, nothingLeft] : removed) nothingLeft.wait();
  stopWorkers(stale);
  for (auto& [id, nothingLeft] : removed) {
    std::error_code error;
    if (nothingLeft.get()) fs::remove_all(domainStateDirectory(id), error);
    if (error) log("cannot remove " + domainStateDirectory(id).string() + ": " + error.message());
  }
  for (std::size_t i = 0; i < domains.size(); ++i) {
    // The list may have been edited by hand: an identifier that would lead its state folder
    // elsewhere is served by no worker.
    try {
      checkDomainIdentifier(domains[i].identifier);
    } catch (const std::invalid_argument& e) {
      log(std::string(e.what()) + " in " + registry_.path().string() +
          "; that drive is not served");
      continue;
    }
    std::shared_ptr<Worker> worker;
    {
      std::lock_guard guard(mutex_);
      if (shuttingDown_ || workers_.count(domains[i].identifier) != 0) continue;
      worker = std::make_shared<Worker>();
      worker->domain = domains[i];
      worker->mountPoint = mounts[i];
      workers_[domains[i].identifier] = worker;
    }
    startWorker(worker);
  }
}

bool Supervisor::finishEdits(const Worker& worker) {
  const auto& id = worker.domain.identifier;
  std::shared_ptr<WorkerLink> link;
  {
    std::lock_guard guard(mutex_);
    link = worker.link;
  }
  const auto bound = removalWait();
  const auto reply =
      link ? link->request(
                 json::object{{"op", "remove"},
                              {"boundMilliseconds", std::chrono::milliseconds(bound).count()}},
                 bound + 30s)
           : std::nullopt;
  auto count = [&](const char* key) -> std::int64_t {
    const json::value* value = reply ? reply->if_contains(key) : nullptr;
    return value && value->is_int64() ? value->as_int64() : -1;
  };
  const std::int64_t kept = count("keptAside");
  const std::int64_t pending = count("pendingUploads");
  if (kept == 0 && pending == 0) return true;
  std::string message = id + ": removed with edits not sent (or not known to be sent); ";
  if (kept > 0) {
    message += std::to_string(kept) + " copied to " + stringMember(*reply, "folder") + "; ";
  }
  log(message + "its state stays in " + domainStateDirectory(id).string() +
      " and adding the drive again resumes them");
  return false;
}

void Supervisor::startWorker(const std::shared_ptr<Worker>& worker) {
  if (worker->monitor.joinable()) worker->monitor.join();
  const fs::path stateDir = domainStateDirectory(worker->domain.identifier);
  int pair[2] = {-1, -1};
  try {
    if (!fs::exists(drivesDir_)) makePrivateFolder(drivesDir_);
    recoverStaleMount(worker->mountPoint);
    if (::mkdir(worker->mountPoint.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot create the drive folder " + worker->mountPoint.string());
    }
    makePrivateFolder(stateDir);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      throw std::system_error(errno, std::generic_category(), "cannot make a socket pair");
    }
  } catch (const std::exception& e) {
    log(e.what());
    std::lock_guard guard(mutex_);
    worker->lastError = e.what();
    scheduleRestart(worker);
    return;
  }

  const std::string program = program_.string();
  const std::string identifier = worker->domain.identifier;
  std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("--drive"),
                          const_cast<char*>(identifier.c_str()), nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec: other threads may hold locks.
    ::dup2(pair[1], 3);
    ::close_range(4, ~0U, 0);
    platform::resetSignalsForExec();
    ::execve(argv[0], argv.data(), environ);
    ::_exit(127);
  }
  ::close(pair[1]);
  if (pid < 0) {
    const std::string why = std::string("cannot start the drive worker: ") + std::strerror(errno);
    ::close(pair[0]);
    log(why);
    std::lock_guard guard(mutex_);
    worker->lastError = why;
    scheduleRestart(worker);
    return;
  }
  auto link = std::make_shared<WorkerLink>(pair[0]);
  link->send(json::object{{"displayName", worker->domain.displayName},
                          {"mountPoint", worker->mountPoint.string()},
                          {"stateDirectory", stateDir.string()}});
  {
    std::lock_guard guard(mutex_);
    worker->pid = pid;
    worker->link = link;
    worker->startedAt = clock_.now();
  }
  worker->monitor = std::thread([this, worker, pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    workerExited(worker, status);
  });
}

void Supervisor::workerExited(const std::shared_ptr<Worker>& worker, int status) {
  std::shared_ptr<WorkerLink> link;
  {
    std::lock_guard guard(mutex_);
    link = worker->link;
  }
  if (link) link->waitClosed(2s);
  {
    std::lock_guard guard(mutex_);
    worker->pid = -1;
    worker->link.reset();
    if (!worker->stopping) {
      std::string why = "the drive stopped (" + describeExit(status) + ")";
      if (link) {
        if (auto fatal = link->fatal()) why = *fatal;
      }
      log(worker->domain.identifier + ": " + why);
      worker->lastError = why;
      if (clock_.now() - worker->startedAt > kHealthyRun) worker->failures = 0;
      scheduleRestart(worker);
    }
    changed_.notify_all();
  }
  // Dropped outside the lock: its destructor joins its reader.
  link.reset();
}

void Supervisor::scheduleRestart(const std::shared_ptr<Worker>& worker) {
  if (worker->stopping || shuttingDown_) return;
  const int doublings = std::min(worker->failures, 6);
  ++worker->failures;
  const auto delay =
      std::min<Clock::Duration>(std::chrono::seconds(1) * (1 << doublings), kMaxBackOff);
  worker->restartTimer = clock_.schedule(delay, [this, worker] { restart(worker); });
}

void Supervisor::restart(const std::shared_ptr<Worker>& worker) {
  std::lock_guard serialised(opMutex_);
  {
    std::lock_guard guard(mutex_);
    worker->restartTimer.reset();
    auto found = workers_.find(worker->domain.identifier);
    if (worker->stopping || shuttingDown_ || found == workers_.end() || found->second != worker) {
      return;
    }
  }
  startWorker(worker);
}

void Supervisor::stopWorkers(const std::vector<std::shared_ptr<Worker>>& workers) {
  {
    std::lock_guard guard(mutex_);
    for (const auto& worker : workers) {
      worker->stopping = true;
      if (worker->restartTimer) clock_.cancel(*worker->restartTimer);
      worker->restartTimer.reset();
      if (worker->pid > 0) ::kill(worker->pid, SIGTERM);
    }
  }
  for (const auto& worker : workers) {
    {
      std::unique_lock guard(mutex_);
      if (!changed_.wait_for(guard, kStopTimeout, [&] { return worker->pid < 0; })) {
        log(worker->domain.identifier + ": the drive did not stop in time; killing it");
        ::kill(worker->pid, SIGKILL);
        if (!changed_.wait_for(guard, 5s, [&] { return worker->pid < 0; })) {
          log(worker->domain.identifier + ": the drive hangs on its own mount; aborting it");
          abortFuseConnection(worker->mountPoint);
          changed_.wait(guard, [&] { return worker->pid < 0; });
        }
      }
    }
    if (worker->monitor.joinable()) worker->monitor.join();
    if (isMountPoint(worker->mountPoint)) lazyUnmount(worker->mountPoint);
    // Only an empty folder goes: anything else in it is not ours to delete.
    ::rmdir(worker->mountPoint.c_str());
  }
}

}  // namespace folium::platform::service

#include "tests/support/scripted_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace folium::testing {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Thrown inside a connection thread when the peer went away or the server is stopping.
struct ConnectionClosed {};

}  // namespace

ScriptedResponse ScriptedResponse::json(std::string body, int status,
                                        platform::HttpHeaders headers) {
  ScriptedResponse response;
  response.statusCode = status;
  if (!platform::findHeader(headers, "Content-Type")) {
    headers.emplace_back("Content-Type", "application/json");
  }
  response.headers = std::move(headers);
  response.body = std::move(body);
  return response;
}

ScriptedResponse ScriptedResponse::status(int code) {
  ScriptedResponse response;
  response.statusCode = code;
  return response;
}

struct ScriptedServer::Impl {
  struct Connection {
    int fd = -1;  // guarded by Impl::mutex; -1 once closed
    std::thread thread;
  };

  explicit Impl(Handler h) : handler(std::move(h)) {}

  // Blocks until `fd` is readable or the server stops; false when stopping.
  bool waitReadable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
      if (stopping) return false;
      int ready = ::poll(fds, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return false;
      if (fds[1].revents != 0) return false;
      return true;
    }
  }

  // Sleeps for `duration` unless the server stops first; false when stopping.
  bool pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex);
    return !stopCondition.wait_for(lock, duration, [&] { return stopping.load(); });
  }

  void acceptLoop();
  void serve(Connection* connection);

  int listenFd = -1;
  int wakeFd = -1;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<size_t> connectionCount{0};
  std::thread acceptThread;

  const Handler handler;
  mutable std::mutex mutex;  // guards the members below
  std::condition_variable stopCondition;
  std::vector<RecordedRequest> requests;
  std::list<Connection> connections;
};

namespace {

// Reads a request stream from a blocking socket, one line or byte count at a time.
class RequestReader {
 public:
  RequestReader(int fd, std::function<bool(int)> waitReadable)
      : fd_(fd), waitReadable_(std::move(waitReadable)) {}

  // False when the peer closed the connection before the line started.
  bool readLine(std::string& line) {
    size_t scanned = pos_;
    for (;;) {
      auto newline = buffer_.find('\n', scanned);
      if (newline != std::string::npos) {
        line.assign(buffer_, pos_, newline - pos_);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos_ = newline + 1;
        return true;
      }
      scanned = buffer_.size();
      if (!fill()) {
        if (pos_ == buffer_.size()) return false;
        throw ConnectionClosed{};
      }
    }
  }

  std::string readExactly(size_t count) {
    while (buffer_.size() - pos_ < count) {
      if (!fill()) throw ConnectionClosed{};
    }
    std::string bytes = buffer_.substr(pos_, count);
    pos_ += count;
    return bytes;
  }

 private:
  bool fill() {
    if (!waitReadable_(fd_)) return false;
    char chunk[65536];
    ssize_t n;
    do {
      n = ::recv(fd_, chunk, sizeof chunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int fd_;
  std::function<bool(int)> waitReadable_;
  std::string buffer_;
  size_t pos_ = 0;
};

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ConnectionClosed{};
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// Reads one request; false when the client closed the connection between requests. The
// client always sends a Content-Length, and never asks for "100 Continue".
bool readRequest(RequestReader& reader, RecordedRequest& request, bool& keepAlive) {
  std::string line;
  do {
    if (!reader.readLine(line)) return false;
  } while (line.empty());  // tolerated before a request line

  auto firstSpace = line.find(' ');
  auto lastSpace = line.rfind(' ');
  if (firstSpace == std::string::npos || lastSpace == firstSpace) throw ConnectionClosed{};
  request.method = line.substr(0, firstSpace);
  request.target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  auto question = request.target.find('?');
  request.path = request.target.substr(0, question);
  if (question != std::string::npos) request.query = request.target.substr(question + 1);

  for (;;) {
    if (!reader.readLine(line)) throw ConnectionClosed{};
    if (line.empty()) break;
    auto colon = line.find(':');
    if (colon == std::string::npos) throw ConnectionClosed{};
    request.headers.emplace_back(line.substr(0, colon),
                                 std::string(trimmed(std::string_view(line).substr(colon + 1))));
  }

  // The client speaks HTTP/1.1: connections stay open unless it says otherwise.
  keepAlive =
      asciiLower(request.header("Connection").value_or("")).find("close") == std::string::npos;

  if (auto length = request.header("Content-Length")) {
    request.body = reader.readExactly(std::stoull(std::string(*length)));
  }
  return true;
}

}  // namespace

void ScriptedServer::Impl::acceptLoop() {
  while (waitReadable(listenFd)) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++connectionCount;
    std::lock_guard lock(mutex);
    if (stopping) {
      ::close(fd);
      break;
    }
    Connection& connection = connections.emplace_back();
    connection.fd = fd;
    connection.thread = std::thread([this, c = &connection] { serve(c); });
  }
}

void ScriptedServer::Impl::serve(Connection* connection) {
  int fd;
  {
    std::lock_guard lock(mutex);
    fd = connection->fd;
  }
  try {
    RequestReader reader(fd, [this](int readFd) { return waitReadable(readFd); });
    for (;;) {
      RecordedRequest request;
      bool keepAlive = true;
      if (!readRequest(reader, request, keepAlive)) break;
      {
        std::lock_guard lock(mutex);
        requests.push_back(request);
      }

      ScriptedResponse response;
      try {
        response = handler(request);
      } catch (const std::exception& error) {
        response = ScriptedResponse::status(500);
        response.body = std::string("scripted handler failed: ") + error.what();
      }

      if (response.delay.count() > 0 && !pause(response.delay)) break;
      if (response.closeWithoutReply) break;
      if (response.raw) {
        sendAll(fd, *response.raw);
        break;
      }

      std::string head = "HTTP/1.1 " + std::to_string(response.statusCode) + " Scripted\r\n";
      for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
      const bool bodyless =
          response.statusCode < 200 || response.statusCode == 204 || response.statusCode == 304;
      if (!bodyless && !platform::findHeader(response.headers, "Content-Length") &&
          !platform::findHeader(response.headers, "Transfer-Encoding")) {
        head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
      }
      if (!keepAlive) head += "Connection: close\r\n";
      head += "\r\n";

      std::string_view body = request.method == "HEAD" || bodyless
                                  ? std::string_view()
                                  : std::string_view(response.body);
      if (response.bodyByteInterval.count() > 0) {
        sendAll(fd, head);
        bool stopped = false;
        for (char byte : body) {
          if (!pause(response.bodyByteInterval)) {
            stopped = true;
            break;
          }
          sendAll(fd, std::string_view(&byte, 1));
        }
        if (stopped) break;
      } else {
        head.append(body);
        sendAll(fd, head);
      }
      if (!keepAlive) break;
    }
  } catch (const ConnectionClosed&) {
  } catch (const std::exception&) {
    // A malformed request (a bad length...): the connection is dropped.
  }
  std::lock_guard lock(mutex);
  ::shutdown(connection->fd, SHUT_RDWR);
  ::close(connection->fd);
  connection->fd = -1;
}

ScriptedServer::ScriptedServer(Handler handler)
    : impl_(std::make_unique<Impl>(std::move(handler))) {
  impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC);
  if (impl_->wakeFd < 0) throwErrno("eventfd");
  impl_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl_->listenFd < 0) throwErrno("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(impl_->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(impl_->listenFd, 128) != 0 ||
      ::getsockname(impl_->listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int saved = errno;
    ::close(impl_->listenFd);
    ::close(impl_->wakeFd);
    errno = saved;
    throwErrno("cannot listen on 127.0.0.1");
  }
  impl_->port = ntohs(address.sin_port);
  impl_->acceptThread = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    // Wakes connection threads blocked in a send to a client that does not read.
    for (auto& connection : impl_->connections) {
      if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
    }
  }
  impl_->stopCondition.notify_all();
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t ignored = ::write(impl_->wakeFd, &one, sizeof one);
  impl_->acceptThread.join();
  for (auto& connection : impl_->connections) connection.thread.join();
  ::close(impl_->listenFd);
  ::close(impl_->wakeFd);
}

int ScriptedServer::port() const { return impl_->port; }

std::string ScriptedServer::baseURL() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + "/";
}

std::vector<RecordedRequest> ScriptedServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

size_t ScriptedServer::requestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests.size();
}

size_t ScriptedServer::connectionCount() const { return impl_->connectionCount.load(); }

}  // namespace folium::testing

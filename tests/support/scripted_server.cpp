#include "tests/support/scripted_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace folium::testing {

namespace {

// Thrown inside a connection thread when the peer went away or the server is stopping.
struct ConnectionClosed {};

// Reads a request stream from a blocking socket, one line or byte count at a time.
class RequestReader {
 public:
  explicit RequestReader(int fd) : fd_(fd) {}

  // False when the peer closed the connection before the line started.
  bool readLine(std::string& line) {
    std::size_t newline;
    while ((newline = buffer_.find('\n')) == std::string::npos) {
      if (fill()) continue;
      if (buffer_.empty()) return false;
      throw ConnectionClosed{};
    }
    line = buffer_.substr(0, newline);
    if (line.ends_with('\r')) line.pop_back();
    buffer_.erase(0, newline + 1);
    return true;
  }

  std::string readExactly(std::size_t count) {
    while (buffer_.size() < count) {
      if (!fill()) throw ConnectionClosed{};
    }
    std::string bytes = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return bytes;
  }

 private:
  // False once the peer closed the connection, or the server shut it down to stop.
  bool fill() {
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
  std::string buffer_;
};

void sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EINTR) throw ConnectionClosed{};
    if (n > 0) bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// Reads one request; false when the client closed the connection between requests. The
// client always sends a Content-Length, and never asks for "100 Continue".
bool readRequest(RequestReader& reader, RecordedRequest& request) {
  std::string line;
  do {
    if (!reader.readLine(line)) return false;
  } while (line.empty());  // tolerated before a request line

  const auto firstSpace = line.find(' ');
  const auto lastSpace = line.rfind(' ');
  if (firstSpace == std::string::npos || lastSpace == firstSpace) throw ConnectionClosed{};
  request.method = line.substr(0, firstSpace);
  request.target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  const auto question = request.target.find('?');
  request.path = request.target.substr(0, question);
  if (question != std::string::npos) request.query = request.target.substr(question + 1);

  for (;;) {
    if (!reader.readLine(line)) throw ConnectionClosed{};
    if (line.empty()) break;
    const auto colon = line.find(':');
    if (colon == std::string::npos) throw ConnectionClosed{};
    const auto value = line.find_first_not_of(" \t", colon + 1);
    const auto end = line.find_last_not_of(" \t");
    request.headers.emplace_back(line.substr(0, colon), value == std::string::npos
                                                            ? std::string()
                                                            : line.substr(value, end + 1 - value));
  }
  if (auto length = request.header("Content-Length")) {
    request.body = reader.readExactly(std::stoull(std::string(*length)));
  }
  return true;
}

// The response's bytes: the head, then the body (empty where HTTP has none).
std::pair<std::string, std::string_view> responseBytes(const RecordedRequest& request,
                                                       const ScriptedResponse& response,
                                                       bool keepAlive) {
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
  const bool noBody = request.method == "HEAD" || bodyless;
  return {std::move(head), noBody ? std::string_view() : std::string_view(response.body)};
}

}  // namespace

ScriptedResponse ScriptedResponse::json(std::string body, int status,
                                        platform::HttpHeaders headers) {
  if (!platform::findHeader(headers, "Content-Type")) {
    headers.emplace_back("Content-Type", "application/json");
  }
  return {.statusCode = status, .headers = std::move(headers), .body = std::move(body)};
}

ScriptedResponse ScriptedResponse::bytes(std::string body) {
  return {.headers = {{"Content-Type", "application/octet-stream"}}, .body = std::move(body)};
}

ScriptedResponse ScriptedResponse::status(int code) { return {.statusCode = code}; }

struct ScriptedServer::Impl {
  explicit Impl(Handler h) : handler(std::move(h)) {}

  // Sleeps for `duration` unless the server stops first; false when stopping.
  bool pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex);
    return !stopCondition.wait_for(lock, duration, [&] { return stopping.load(); });
  }

  void acceptLoop();
  void serve(int fd);
  // Answers one request; false when the connection must close after it.
  bool answer(int fd, const RecordedRequest& request);

  int listenFd = -1;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<size_t> connectionCount{0};
  std::thread acceptThread;

  const Handler handler;
  mutable std::mutex mutex;  // guards the members below
  std::condition_variable stopCondition;
  std::vector<RecordedRequest> requests;
  std::list<std::pair<int, std::thread>> connections;  // a socket, -1 once closed
};

void ScriptedServer::Impl::acceptLoop() {
  // The destructor shuts the listening socket down, which ends accept().
  for (;;) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard lock(mutex);
    if (stopping) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) continue;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++connectionCount;
    auto& connection = connections.emplace_back(fd, std::thread());
    connection.second = std::thread([this, &connection] {
      serve(connection.first);
      std::lock_guard lock(mutex);
      ::close(std::exchange(connection.first, -1));
    });
  }
}

void ScriptedServer::Impl::serve(int fd) {
  try {
    RequestReader reader(fd);
    for (RecordedRequest request; readRequest(reader, request); request = {}) {
      {
        std::lock_guard lock(mutex);
        requests.push_back(request);
      }
      if (!answer(fd, request)) break;
    }
  } catch (const ConnectionClosed&) {
  } catch (const std::exception&) {
    // A malformed request (a bad length...): the connection is dropped.
  }
  ::shutdown(fd, SHUT_RDWR);
}

bool ScriptedServer::Impl::answer(int fd, const RecordedRequest& request) {
  ScriptedResponse response;
  try {
    response = handler(request);
  } catch (const std::exception& error) {
    response = ScriptedResponse::status(500);
    response.body = std::string("scripted handler failed: ") + error.what();
  }
  if (response.delay.count() > 0 && !pause(response.delay)) return false;
  if (response.closeWithoutReply) return false;
  if (response.raw) {
    sendAll(fd, *response.raw);
    return false;
  }
  // The client speaks HTTP/1.1: connections stay open unless it says otherwise.
  const bool keepAlive =
      request.header("Connection").value_or("").find("close") == std::string_view::npos;
  auto [head, body] = responseBytes(request, response, keepAlive);
  if (response.bodyByteInterval.count() == 0) {
    sendAll(fd, head.append(body));
    return keepAlive;
  }
  sendAll(fd, head);
  for (const char& byte : body) {
    if (!pause(response.bodyByteInterval)) return false;
    sendAll(fd, std::string_view(&byte, 1));
  }
  return keepAlive;
}

ScriptedServer::ScriptedServer(Handler handler)
    : impl_(std::make_unique<Impl>(std::move(handler))) {
  impl_->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl_->listenFd < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(impl_->listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(impl_->listenFd, 128) != 0 ||
      ::getsockname(impl_->listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    ::close(impl_->listenFd);
    throw std::system_error(error, std::generic_category(), "cannot listen on 127.0.0.1");
  }
  impl_->port = ntohs(address.sin_port);
  impl_->acceptThread = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    // Ends accept(), and the reads and sends of connections whose client went quiet.
    ::shutdown(impl_->listenFd, SHUT_RDWR);
    for (auto& [fd, thread] : impl_->connections) {
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
  }
  impl_->stopCondition.notify_all();
  impl_->acceptThread.join();
  for (auto& [fd, thread] : impl_->connections) thread.join();
  ::close(impl_->listenFd);
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

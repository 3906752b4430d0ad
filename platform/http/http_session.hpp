#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace folium::platform {

// Header fields in the order they were sent or received. Names keep their spelling;
// lookups ignore ASCII case.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The value of the first header called `name` (ASCII case ignored), if any.
std::optional<std::string_view> findHeader(const HttpHeaders& headers, std::string_view name);

// A shared flag that cancels the requests it is attached to. Copies share the flag, so
// one thread may cancel what another thread is waiting for. Thread-safe.
class CancellationToken {
 public:
  CancellationToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
  void cancel() const noexcept { flag_->store(true, std::memory_order_release); }
  bool isCancelled() const noexcept { return flag_->load(std::memory_order_acquire); }

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

// The bytes of a request body, not owned: one or more pieces sent back to back, so that an
// upload's framing and its contents go out without being joined into one buffer. The
// pieces must stay alive until send() returns.
class HttpBody {
 public:
  HttpBody() = default;
  HttpBody(std::string_view bytes) {  // NOLINT: a body is naturally written as its bytes
    if (!bytes.empty()) pieces_.push_back(bytes);
  }
  HttpBody(const std::string& bytes) : HttpBody(std::string_view(bytes)) {}  // NOLINT
  HttpBody(const char* bytes) : HttpBody(std::string_view(bytes)) {}         // NOLINT
  explicit HttpBody(std::vector<std::string_view> pieces) {
    for (auto piece : pieces) {
      if (!piece.empty()) pieces_.push_back(piece);
    }
  }

  const std::vector<std::string_view>& pieces() const { return pieces_; }
  std::size_t size() const {
    std::size_t total = 0;
    for (auto piece : pieces_) total += piece.size();
    return total;
  }
  bool empty() const { return pieces_.empty(); }
  std::string joined() const {
    std::string out;
    out.reserve(size());
    for (auto piece : pieces_) out += piece;
    return out;
  }

 private:
  std::vector<std::string_view> pieces_;
};

struct HttpRequest {
  std::string method = "GET";
  std::string url;  // absolute http or https URL, already percent-encoded
  HttpHeaders headers;
  // Not owned (see HttpBody): large uploads are sent without a copy.
  HttpBody body;
  // An idle limit, not a deadline: the request fails when no byte moves for this long
  // (connecting included); a transfer that keeps moving is never cut.
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};
  std::optional<CancellationToken> cancellation;
};

struct HttpResponse {
  // False when the peer answered with something that is not HTTP (no status line, or an
  // HTTP/0.9 reply). Status, headers and body are then meaningless.
  bool isHttp = true;
  long status = 0;
  HttpHeaders headers;
  std::string body;

  std::optional<std::string_view> header(std::string_view name) const {
    return findHeader(headers, name);
  }
};

// A failure below HTTP: no connection, name not resolved, time-out, cancellation, TLS.
// `code` is the transport's own code (a CURLcode for the libcurl session).
class TransportError : public std::runtime_error {
 public:
  TransportError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const noexcept { return code_; }
  bool isCancellation() const noexcept;
  bool isTimeout() const noexcept;

 private:
  int code_;
};

// Sends HTTP requests and returns whole responses. Implementations accept concurrent
// calls from any number of threads.
class HttpSession {
 public:
  HttpSession() = default;
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  virtual ~HttpSession() = default;

  // Blocks until the whole response has arrived. Throws TransportError when no response
  // came; a non-HTTP reply is returned with isHttp false. Redirects are followed only
  // within the same scheme, host and port; any other redirect is returned as it is.
  virtual HttpResponse send(const HttpRequest& request) = 0;
};

// The process-wide libcurl session: one connection pool shared by every caller. Created
// on first use; callers hand it on to what needs a session rather than calling this.
std::shared_ptr<HttpSession> sharedHttpSession();

}  // namespace folium::platform

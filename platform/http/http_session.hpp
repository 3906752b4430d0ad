#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
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
// upload's framing and its contents go out without being joined into one buffer. A piece is
// bytes in memory or a region of an open file, read as it is sent. The memory and the files
// must stay alive and open until send() returns.
class HttpBody {
 public:
  struct Piece {
    Piece(std::string_view bytes) : bytes(bytes) {}    // NOLINT: pieces are written as bytes
    Piece(const std::string& bytes) : bytes(bytes) {}  // NOLINT
    Piece(const char* bytes) : bytes(bytes) {}         // NOLINT
    // `length` bytes of the file open as `fd`, from `offset`. The file is read with pread(),
    // so its offset is left alone; one that gets shorter while it is sent fails the request.
    static Piece fileRegion(int fd, std::uint64_t offset, std::uint64_t length) {
      Piece piece{std::string_view()};
      piece.fd = fd;
      piece.offset = offset;
      piece.length = length;
      return piece;
    }

    bool isFile() const { return fd >= 0; }
    std::uint64_t size() const { return isFile() ? length : bytes.size(); }

    std::string_view bytes;
    int fd = -1;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
  };

  HttpBody() = default;
  HttpBody(std::string_view bytes) : HttpBody(std::vector<Piece>{bytes}) {}  // NOLINT
  HttpBody(const std::string& bytes) : HttpBody(std::string_view(bytes)) {}  // NOLINT
  HttpBody(const char* bytes) : HttpBody(std::string_view(bytes)) {}         // NOLINT
  explicit HttpBody(std::vector<Piece> pieces) {
    for (const Piece& piece : pieces) {
      if (piece.size() > 0) pieces_.push_back(piece);
    }
  }

  const std::vector<Piece>& pieces() const { return pieces_; }
  std::uint64_t size() const {
    std::uint64_t total = 0;
    for (const Piece& piece : pieces_) total += piece.size();
    return total;
  }
  bool empty() const { return pieces_.empty(); }

 private:
  std::vector<Piece> pieces_;
};

// Takes the body of a response piece by piece as it arrives. May throw: the transfer then
// stops and send() rethrows what it threw.
using HttpBodyWriter = std::function<void(std::string_view bytes)>;

// The largest body a request keeps in memory unless it says otherwise: far above any page
// of records, far below what would hurt the machine.
inline constexpr std::size_t kDefaultMaxBodySize = std::size_t{64} << 20;

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
  // When set, the body of a successful (2xx) final response goes here as it arrives,
  // instead of into HttpResponse::body; other responses (errors, redirects) are kept.
  HttpBodyWriter bodyWriter;
  // A body kept in memory beyond this fails the request with a TransportError.
  std::size_t maxBodySize = kDefaultMaxBodySize;
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

// A failure below HTTP: no connection, name not resolved, time-out, cancellation, TLS, a
// body larger than the request accepts. `kind` is what callers act on; `code` is the
// transport's own code (a CURLcode for the libcurl session), kept for reports.
class TransportError : public std::runtime_error {
 public:
  enum class Kind {
    cancelled,        // the request's cancellation token was set
    timedOut,         // the server stopped answering for longer than the time-out
    hostUnreachable,  // the name does not resolve, or no connection could be made
    other,
  };

  TransportError(Kind kind, int code, const std::string& message)
      : std::runtime_error(message), kind_(kind), code_(code) {}
  TransportError(int code, const std::string& message)
      : TransportError(Kind::other, code, message) {}

  Kind kind() const noexcept { return kind_; }
  int code() const noexcept { return code_; }
  bool isCancellation() const noexcept { return kind_ == Kind::cancelled; }
  bool isTimeout() const noexcept { return kind_ == Kind::timedOut; }

 private:
  Kind kind_;
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

  // Blocks until the whole response has arrived (its body written to the request's
  // bodyWriter, when it has one). Throws TransportError when no response came or its body
  // would be kept beyond maxBodySize; a non-HTTP reply is returned with isHttp false. Redirects are
  // followed only within the same scheme, host and port; any other redirect is returned as it is.
  virtual HttpResponse send(const HttpRequest& request) = 0;
};

// The process-wide libcurl session: one connection pool shared by every caller. Created
// on first use; callers hand it on to what needs a session rather than calling this.
std::shared_ptr<HttpSession> sharedHttpSession();

}  // namespace folium::platform

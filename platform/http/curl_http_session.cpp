#include "platform/http/curl_http_session.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace folium::platform {

namespace {

constexpr int kMaxRedirects = 10;
// Handles kept for reuse beyond this are closed, with their connections, when returned.
constexpr size_t kMaxIdleHandles = 16;
constexpr long kReceiveBufferSize = 256 * 1024;

struct EasyDeleter {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct ShareDeleter {
  void operator()(CURLSH* share) const noexcept { curl_share_cleanup(share); }
};

struct HeaderListDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

struct UrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

struct CurlStringDeleter {
  void operator()(char* text) const noexcept { curl_free(text); }
};

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

enum class Outcome { response, notHttp };

// The one place where libcurl's result codes get their meaning for callers. `what` names
// the request ("GET http://host/path"); `detail` is curl's error text, when it has one.
// `requestSent` tells a reply that curl refused to read as HTTP from a request that never
// left, and a server that stopped answering from one that was never reached. Returns for a
// response, HTTP or not; throws TransportError for every failure.
Outcome outcomeOf(CURLcode code, const std::string& what, const char* detail, bool requestSent) {
  using Kind = TransportError::Kind;
  Kind kind = Kind::other;
  switch (code) {
    case CURLE_OK:
      return Outcome::response;
    case CURLE_WEIRD_SERVER_REPLY:    // broken status line or header
    case CURLE_UNSUPPORTED_PROTOCOL:  // HTTP/0.9 or an unknown HTTP version in the reply
      if (requestSent) return Outcome::notHttp;
      break;
    case CURLE_ABORTED_BY_CALLBACK:
      throw TransportError(Kind::cancelled, code, what + ": the request was cancelled");
    case CURLE_OPERATION_TIMEDOUT:
      // Connecting (TLS included) that takes too long is a server out of reach.
      kind = requestSent ? Kind::timedOut : Kind::hostUnreachable;
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      kind = Kind::hostUnreachable;
      break;
    default:
      break;
  }
  const char* text = detail != nullptr && *detail != '\0' ? detail : curl_easy_strerror(code);
  throw TransportError(kind, code, what + ": " + text);
}

void check(CURLcode code, const std::string& what, const char* detail = nullptr) {
  outcomeOf(code, what, detail, false);
}

struct Origin {
  std::string scheme;  // lower case
  std::string host;    // lower case
  std::string port;    // explicit, the scheme's default when the URL names none

  bool operator==(const Origin&) const = default;
};

// The origin of an absolute URL, or nothing when `url` is not one.
std::optional<Origin> originOf(const std::string& url) {
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed) throw std::bad_alloc();
  if (curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    return std::nullopt;
  }
  auto part = [&](CURLUPart which, unsigned int flags) -> std::string {
    char* raw = nullptr;
    if (curl_url_get(parsed.get(), which, &raw, flags) != CURLUE_OK) return {};
    std::unique_ptr<char, CurlStringDeleter> owned(raw);
    return asciiLower(raw);
  };
  Origin origin{part(CURLUPART_SCHEME, 0), part(CURLUPART_HOST, 0),
                part(CURLUPART_PORT, CURLU_DEFAULT_PORT)};
  if (origin.scheme.empty() || origin.host.empty()) return std::nullopt;
  return origin;
}

bool isHttpScheme(const Origin& origin) {
  return origin.scheme == "http" || origin.scheme == "https";
}

// A URL as failure messages show it: a password written into the address stays out of them.
std::string withoutUserinfo(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t start = scheme + 3;
  const size_t end = std::min(url.find_first_of("/?#", start), url.size());
  const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < start || at >= end) return url;
  return url.substr(0, start) + url.substr(at + 1);
}

// What one request of a redirect chain sends.
struct Hop {
  std::string method;
  std::string url;
  HttpHeaders headers;
  HttpBody body;

  std::string describe() const { return method + " " + withoutUserinfo(url); }
};

// State shared with the callbacks of one transfer. Callbacks never throw: they keep the
// exception here and abort the transfer, and send() rethrows it once curl has returned.
struct Transfer {
  CURL* handle = nullptr;
  const std::string* what = nullptr;
  const CancellationToken* cancellation = nullptr;
  HttpResponse response;
  bool bodyStarted = false;
  std::exception_ptr failure;
  // Where a successful response's body goes instead of response.body, when set.
  const HttpBodyWriter* writer = nullptr;
  bool writingOut = false;  // this response's body goes to the writer
  std::size_t maxBodySize = kDefaultMaxBodySize;
  // Where the upload of a body of several pieces stands.
  const HttpBody* upload = nullptr;
  std::size_t uploadPiece = 0;
  std::uint64_t uploadOffset = 0;
};

// Reads up to `room` bytes of a file piece at the transfer's place in it.
size_t readFilePiece(const HttpBody::Piece& piece, std::uint64_t from, char* buffer, size_t room) {
  const auto wanted = static_cast<size_t>(std::min<std::uint64_t>(room, piece.length - from));
  for (;;) {
    const ssize_t count =
        ::pread(piece.fd, buffer, wanted, static_cast<off_t>(piece.offset + from));
    if (count > 0) return static_cast<size_t>(count);
    if (count == 0) {
      // The length was announced: sending fewer bytes would cut the request short.
      throw std::system_error(EIO, std::generic_category(),
                              "the file got shorter while it was being sent");
    }
    if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "cannot read the file being sent");
    }
  }
}

// Feeds the pieces of a body to curl one after another, straight from the caller's memory
// or from the caller's files.
size_t onUploadData(char* buffer, size_t size, size_t count, void* userData) {
  auto& transfer = *static_cast<Transfer*>(userData);
  try {
    const auto& pieces = transfer.upload->pieces();
    size_t written = 0;
    const size_t room = size * count;
    while (written < room && transfer.uploadPiece < pieces.size()) {
      const HttpBody::Piece& piece = pieces[transfer.uploadPiece];
      size_t n = 0;
      if (piece.isFile()) {
        n = readFilePiece(piece, transfer.uploadOffset, buffer + written, room - written);
      } else {
        n = static_cast<size_t>(
            std::min<std::uint64_t>(room - written, piece.bytes.size() - transfer.uploadOffset));
        std::memcpy(buffer + written, piece.bytes.data() + transfer.uploadOffset, n);
      }
      written += n;
      transfer.uploadOffset += n;
      if (transfer.uploadOffset == piece.size()) {
        ++transfer.uploadPiece;
        transfer.uploadOffset = 0;
      }
    }
    return written;
  } catch (...) {
    transfer.failure = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

// curl rewinds a body it must send again (a connection that was closed under it).
int onUploadSeek(void* userData, curl_off_t offset, int origin) {
  auto& transfer = *static_cast<Transfer*>(userData);
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  auto remaining = static_cast<std::uint64_t>(offset);
  const auto& pieces = transfer.upload->pieces();
  transfer.uploadPiece = 0;
  while (transfer.uploadPiece < pieces.size() && remaining >= pieces[transfer.uploadPiece].size()) {
    remaining -= pieces[transfer.uploadPiece].size();
    ++transfer.uploadPiece;
  }
  if (transfer.uploadPiece == pieces.size() && remaining > 0) return CURL_SEEKFUNC_FAIL;
  transfer.uploadOffset = remaining;
  return CURL_SEEKFUNC_OK;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

size_t onHeaderLine(char* data, size_t size, size_t count, void* userdata) {
  auto& transfer = *static_cast<Transfer*>(userdata);
  const size_t length = size * count;
  try {
    std::string_view line(data, length);
    auto& headers = transfer.response.headers;
    if (line.starts_with("HTTP/")) {
      // Interim (1xx) responses come before the final one: only the last block counts.
      headers.clear();
      transfer.response.body.clear();
      transfer.bodyStarted = false;
      transfer.writingOut = false;
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      if (!headers.empty() && !trimmed(line).empty()) {
        headers.back().second.append(" ").append(trimmed(line));
      }
    } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
      headers.emplace_back(std::string(line.substr(0, colon)),
                           std::string(trimmed(line.substr(colon + 1))));
    }
    return length;
  } catch (...) {
    transfer.failure = std::current_exception();
    return 0;
  }
}

size_t onBodyData(char* data, size_t size, size_t count, void* userdata) {
  auto& transfer = *static_cast<Transfer*>(userdata);
  const size_t length = size * count;
  try {
    if (!transfer.bodyStarted) {
      transfer.bodyStarted = true;
      long status = 0;
      curl_easy_getinfo(transfer.handle, CURLINFO_RESPONSE_CODE, &status);
      transfer.writingOut = transfer.writer != nullptr && status >= 200 && status <= 299;
      curl_off_t declared = -1;
      if (!transfer.writingOut &&
          curl_easy_getinfo(transfer.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) ==
              CURLE_OK &&
          declared > 0 && static_cast<std::uint64_t>(declared) <= transfer.maxBodySize) {
        transfer.response.body.reserve(static_cast<size_t>(declared));
      }
    }
    if (transfer.writingOut) {
      (*transfer.writer)(std::string_view(data, length));
      return length;
    }
    if (length > transfer.maxBodySize - transfer.response.body.size()) {
      const std::string detail = "the response body is larger than " +
                                 std::to_string(transfer.maxBodySize >> 20) +
                                 " MiB, more than this request accepts; the server sent something "
                                 "other than what was asked for";
      outcomeOf(CURLE_FILESIZE_EXCEEDED, *transfer.what, detail.c_str(), true);
    }
    transfer.response.body.append(data, length);
    return length;
  } catch (...) {
    transfer.failure = std::current_exception();
    return length == 0 ? 1 : 0;
  }
}

int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& transfer = *static_cast<Transfer*>(userdata);
  return transfer.cancellation->isCancelled() ? 1 : 0;
}

bool containsLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool isToken(std::string_view text) {
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return c > 32 && c < 127 && kSeparators.find(static_cast<char>(c)) == std::string_view::npos;
  });
}

// The header lines handed to curl: the caller's headers, and blanks that remove the ones
// curl would otherwise add on its own.
HeaderList headerList(const Hop& hop) {
  HeaderList list;
  auto append = [&](const std::string& line) {
    curl_slist* head = curl_slist_append(list.get(), line.c_str());
    if (head == nullptr) throw std::bad_alloc();
    // Appending returns the same head, except for the first line.
    if (head != list.get()) list.reset(head);
  };
  for (const auto& [name, value] : hop.headers) {
    if (!isToken(name) || containsLineBreakOrNul(value)) {
      const std::string detail =
          "invalid header \"" + name + "\": a name must be a token, a value must not break lines";
      check(CURLE_BAD_FUNCTION_ARGUMENT, hop.describe(), detail.c_str());
    }
    // "Name;" is how curl is told to send a header with an empty value.
    append(value.empty() ? name + ";" : name + ": " + value);
  }
  for (const char* name : {"Accept", "Expect", "Content-Type"}) {
    if (!findHeader(hop.headers, name)) append(std::string(name) + ":");
  }
  return list;
}

bool methodTakesBody(std::string_view method) {
  return method == "POST" || method == "PUT" || method == "PATCH";
}

long ceilSeconds(std::chrono::milliseconds duration) {
  return static_cast<long>(
      std::max<std::chrono::milliseconds::rep>(1, (duration.count() + 999) / 1000));
}

}  // namespace

struct CurlHttpSession::Impl {
  Impl() {
    static std::once_flag once;
    std::call_once(once, [] { check(curl_global_init(CURL_GLOBAL_DEFAULT), "libcurl set-up"); });
    share.reset(curl_share_init());
    if (!share) throw std::bad_alloc();
    // Name lookups and TLS sessions are shared so that a fresh handle need not repeat them.
    // Connections are not: libcurl cannot share them between threads transferring at once.
    const bool shared =
        curl_share_setopt(share.get(), CURLSHOPT_LOCKFUNC, &lockShared) == CURLSHE_OK &&
        curl_share_setopt(share.get(), CURLSHOPT_UNLOCKFUNC, &unlockShared) == CURLSHE_OK &&
        curl_share_setopt(share.get(), CURLSHOPT_USERDATA, this) == CURLSHE_OK &&
        curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
        curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (!shared) {
      check(CURLE_FAILED_INIT, "libcurl set-up", "cannot share lookups between requests");
    }
    idle.reserve(kMaxIdleHandles);
  }

  static void lockShared(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Impl*>(self)->shareLocks[data].lock();
  }
  static void unlockShared(CURL*, curl_lock_data data, void* self) {
    static_cast<Impl*>(self)->shareLocks[data].unlock();
  }

  EasyHandle take() {
    {
      std::lock_guard lock(mutex);
      if (!idle.empty()) {
        // The most recently used handle is the likeliest to hold a live connection.
        EasyHandle handle = std::move(idle.back());
        idle.pop_back();
        return handle;
      }
    }
    EasyHandle handle(curl_easy_init());
    if (!handle) throw std::bad_alloc();
    return handle;
  }

  void giveBack(EasyHandle handle) noexcept {
    // Forgets every option but keeps the live connections.
    curl_easy_reset(handle.get());
    std::lock_guard lock(mutex);
    if (idle.size() < kMaxIdleHandles) idle.push_back(std::move(handle));
  }

  // Sends one request of a redirect chain. Also returns the target of a redirection, empty
  // when the response is none.
  std::pair<HttpResponse, std::string> perform(CURL* handle, const Hop& hop,
                                               const HttpRequest& request);

  // Declared before the handles, so that it outlives them.
  std::unique_ptr<CURLSH, ShareDeleter> share;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks;
  std::mutex mutex;
  std::vector<EasyHandle> idle;  // guarded by mutex; never grows past its reserved size
};

std::pair<HttpResponse, std::string> CurlHttpSession::Impl::perform(CURL* handle, const Hop& hop,
                                                                    const HttpRequest& request) {
  const std::string what = hop.describe();
  auto set = [&](CURLcode code) { check(code, what); };

  Transfer transfer;
  transfer.handle = handle;
  transfer.what = &what;
  transfer.maxBodySize = request.maxBodySize;
  if (request.bodyWriter) transfer.writer = &request.bodyWriter;
  char errorText[CURL_ERROR_SIZE] = {};

  set(curl_easy_setopt(handle, CURLOPT_SHARE, share.get()));
  set(curl_easy_setopt(handle, CURLOPT_URL, hop.url.c_str()));
  set(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
  // Redirects are followed by send() itself, so that none leaves the origin.
  set(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L));
  // An identifier such as ".." is one path segment of its own, never a step up the path.
  set(curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L));
  set(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L));
  set(curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
  set(curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferSize));
  set(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText));

  // An idle limit: connecting, then at least one byte a second moving either way.
  const auto timeout = std::max(request.timeout, std::chrono::milliseconds(1));
  set(curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count())));
  set(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L));
  set(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, ceilSeconds(timeout)));
  set(curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, 0L));

  set(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &onHeaderLine));
  set(curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer));
  set(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onBodyData));
  set(curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer));
  if (request.cancellation) {
    transfer.cancellation = &*request.cancellation;
    set(curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onProgress));
    set(curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer));
    set(curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L));
  }

  if (hop.method == "GET" && hop.body.empty()) {
    set(curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L));
  } else if (hop.method == "HEAD") {
    set(curl_easy_setopt(handle, CURLOPT_NOBODY, 1L));
  } else {
    const auto& bodyPieces = hop.body.pieces();
    const bool pieces = bodyPieces.size() > 1 || (bodyPieces.size() == 1 && bodyPieces[0].isFile());
    if (hop.method == "POST" || pieces) {
      set(curl_easy_setopt(handle, CURLOPT_POST, 1L));
    }
    if (hop.method != "POST") {
      set(curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, hop.method.c_str()));
    }
    // Methods that carry a body announce an empty one; the others (DELETE...) send none.
    // The body is sent from the caller's memory, without a copy.
    if (pieces) {
      transfer.upload = &hop.body;
      set(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                           static_cast<curl_off_t>(hop.body.size())));
      set(curl_easy_setopt(handle, CURLOPT_READFUNCTION, &onUploadData));
      set(curl_easy_setopt(handle, CURLOPT_READDATA, &transfer));
      set(curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, &onUploadSeek));
      set(curl_easy_setopt(handle, CURLOPT_SEEKDATA, &transfer));
    } else if (!hop.body.empty() || methodTakesBody(hop.method)) {
      const std::string_view bytes = hop.body.empty() ? std::string_view("") : bodyPieces[0].bytes;
      set(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                           static_cast<curl_off_t>(bytes.size())));
      set(curl_easy_setopt(handle, CURLOPT_POSTFIELDS, bytes.data()));
    }
  }
  HeaderList headers = headerList(hop);
  set(curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()));

  const CURLcode code = curl_easy_perform(handle);
  if (transfer.failure) std::rethrow_exception(transfer.failure);
  long requestBytes = 0;
  curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &requestBytes);
  if (outcomeOf(code, what, errorText, requestBytes > 0) == Outcome::notHttp) {
    HttpResponse notHttp;
    notHttp.isHttp = false;
    return {std::move(notHttp), {}};
  }
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &transfer.response.status);
  char* location = nullptr;
  curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location);
  return {std::move(transfer.response), location != nullptr ? location : ""};
}

CurlHttpSession::CurlHttpSession() : impl_(std::make_unique<Impl>()) {}

CurlHttpSession::~CurlHttpSession() = default;

HttpResponse CurlHttpSession::send(const HttpRequest& request) {
  Hop hop{request.method, request.url, request.headers, request.body};
  if (request.cancellation && request.cancellation->isCancelled()) {
    check(CURLE_ABORTED_BY_CALLBACK, hop.describe());
  }
  if (!isToken(request.method)) {
    check(CURLE_BAD_FUNCTION_ARGUMENT, hop.describe(), "invalid method");
  }
  const std::optional<Origin> origin = originOf(request.url);
  if (!origin || !isHttpScheme(*origin)) {
    check(CURLE_UNSUPPORTED_PROTOCOL, hop.describe(),
          "only absolute http and https URLs can be requested");
  }

  // A handle whose transfer failed is closed rather than pooled: libcurl may leave it unable
  // to take options again (after a failed name lookup, every later request on it failed).
  struct Lease {
    Impl& pool;
    EasyHandle handle;
    bool reusable = false;
    ~Lease() {
      if (reusable) pool.giveBack(std::move(handle));
    }
  } lease{*impl_, impl_->take()};

  for (int redirects = 0;; ++redirects) {
    auto [response, location] = impl_->perform(lease.handle.get(), hop, request);
    const long status = response.status;
    const bool followable =
        status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    // A redirect to another origin is handed back as it is: the request's credentials must
    // not travel to a server the caller did not name.
    if (!response.isHttp || !followable || location.empty() || redirects == kMaxRedirects ||
        originOf(location) != origin) {
      lease.reusable = true;
      return std::move(response);
    }
    const bool toGet =
        (status == 303 && hop.method != "HEAD") ||
        ((status == 301 || status == 302) && hop.method != "GET" && hop.method != "HEAD");
    if (toGet) {
      hop.method = "GET";
      hop.body = {};
      std::erase_if(hop.headers, [](const auto& header) {
        return asciiLower(header.first) == "content-type" ||
               asciiLower(header.first) == "content-length";
      });
    }
    hop.url = std::move(location);
    curl_easy_reset(lease.handle.get());
  }
}

std::shared_ptr<HttpSession> sharedHttpSession() {
  static const std::shared_ptr<HttpSession> session = std::make_shared<CurlHttpSession>();
  return session;
}

}  // namespace folium::platform

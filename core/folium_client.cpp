#include "core/folium_client.hpp"

#include <boost/json.hpp>

#include "core/server_api.hpp"

namespace folium {
namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

void appendEscaped(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

// Path characters kept as they are: RFC 3986 pchar, plus "/" which separates segments.
// Everything else, "%", "?" and "#" included, is percent-encoded, so an identifier is one
// segment whatever it holds.
void appendPath(std::string& out, std::string_view path) {
  for (unsigned char c : path) {
    if (isUnreserved(c) || c == '/' || c == ':' || c == '@' || c == '!' || c == '$' ||
        c == '\'' || c == '(' || c == ')' || c == '*' || c == ',' || c == ';' || c == '=' ||
        c == '&' || c == '+') {
      out += static_cast<char>(c);
    } else {
      appendEscaped(out, c);
    }
  }
}

// Query names and values: "&", "=", "+", "#" and ";" are encoded as well, since servers
// split on the first three, read "+" as a space and some split on ";".
void appendQueryComponent(std::string& out, std::string_view text) {
  for (unsigned char c : text) {
    if (isUnreserved(c) || c == '/' || c == '?' || c == ':' || c == '@' || c == '!' ||
        c == '$' || c == '\'' || c == '(' || c == ')' || c == '*' || c == ',') {
      out += static_cast<char>(c);
    } else {
      appendEscaped(out, c);
    }
  }
}

}  // namespace

FoliumClient::FoliumClient(FoliumConfig config, std::shared_ptr<platform::HttpSession> session)
    : config_(std::move(config)), session_(std::move(session)) {}

FoliumClient FoliumClient::withCancellation(platform::CancellationToken token) const {
  FoliumClient copy = *this;
  copy.cancellation_ = std::move(token);
  return copy;
}

std::string FoliumClient::makeURL(std::string_view path, const QueryItems& queryItems) const {
  const Url& base = config_.baseURL;
  if (!base.isAbsoluteHttp()) {
    throw InvalidAddressError("the instance address \"" + base.absoluteString() +
                              "\" is not an absolute http or https URL with a host name; "
                              "nothing was sent (fix the profile's instance_url, e.g. "
                              "https://docs.example.org/)");
  }
  const auto& url = base.components();
  std::string out = base.scheme();
  out += "://";
  out += std::string_view(url.encoded_authority());
  std::string_view basePath = url.encoded_path();
  out += basePath;
  if (out.back() != '/') out += '/';
  out += api::kApiRoot;
  out += '/';
  appendPath(out, path);
  for (std::size_t i = 0; i < queryItems.size(); ++i) {
    out += (i == 0) ? '?' : '&';
    appendQueryComponent(out, queryItems[i].first);
    out += '=';
    appendQueryComponent(out, queryItems[i].second);
  }
  return out;
}

namespace {

// The "error" text of a JSON error body, made one bounded line; empty when there is none.
std::string serverReason(std::string_view body) {
  // An error body is short; anything else is not one.
  constexpr std::size_t kLongestErrorBody = 16 << 10;
  constexpr std::size_t kLongestReason = 300;
  if (body.empty() || body.size() > kLongestErrorBody) return {};
  boost::system::error_code failed;
  const auto value = boost::json::parse(body, failed);
  if (failed || !value.is_object()) return {};
  const auto* text = value.get_object().if_contains("error");
  if (text == nullptr || !text->is_string()) return {};
  std::string reason(text->get_string());
  // One line, whatever the server sent: it ends up in a status line and a notification.
  for (char& c : reason) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  if (reason.size() > kLongestReason) {
    std::size_t cut = kLongestReason;
    while (cut > 0 && (static_cast<unsigned char>(reason[cut]) & 0xC0) == 0x80) --cut;
    reason.resize(cut);
    reason += "…";
  }
  return reason;
}

}  // namespace

void FoliumClient::validateResponse(const platform::HttpResponse& response) const {
  if (!response.isHttp) throw FoliumError::invalidResponse();
  if (response.status < 200 || response.status > 299) {
    throw FoliumError::http(static_cast<int>(response.status), serverReason(response.body));
  }
}

platform::HttpResponse FoliumClient::send(std::string_view method, std::string url, bool accept,
                                          platform::HttpHeaders extraHeaders,
                                          platform::HttpBody body,
                                          platform::HttpBodyWriter bodyWriter) const {
  platform::HttpRequest request;
  request.method = std::string(method);
  request.url = std::move(url);
  request.headers.reserve(2 + extraHeaders.size());
  request.headers.emplace_back("Authorization", "Bearer " + config_.token);
  if (accept) request.headers.emplace_back("Accept", "application/json");
  for (auto& header : extraHeaders) request.headers.push_back(std::move(header));
  request.body = std::move(body);
  request.bodyWriter = std::move(bodyWriter);
  request.timeout = api::kRequestTimeout;
  request.cancellation = cancellation_;
  platform::HttpResponse response = session_->send(request);
  validateResponse(response);
  return response;
}

template <typename Record>
Record FoliumClient::fetchObject(std::string_view path, const QueryItems& queryItems) const {
  auto response = send("GET", makeURL(path, queryItems), true);
  return decodeObject<Record>(response.body);
}

template <typename Record>
ListPage<Record> FoliumClient::fetchPage(std::string_view path, QueryItems queryItems,
                                         std::int64_t perPage, std::int64_t page) const {
  queryItems.emplace_back(api::kPerPageItem, std::to_string(perPage));
  queryItems.emplace_back(api::kPageItem, std::to_string(page));
  auto response = send("GET", makeURL(path, queryItems), true);
  ListPage<Record> result;
  result.records = decodeArray<Record>(response.body);
  const auto hasMore = response.header(api::kHasMoreHeader);
  if (hasMore && hasMore->size() == 4) {
    std::string lowered(*hasMore);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    result.hasMore = lowered == "true" && page < api::kMaxPages;
  }
  return result;
}

template <typename Record>
std::vector<Record> FoliumClient::fetchAllPages(std::string_view path, QueryItems queryItems,
                                                std::int64_t perPage) const {
  std::vector<Record> result;
  for (std::int64_t page = 1;; ++page) {
    auto [records, more] = fetchPage<Record>(path, queryItems, perPage, page);
    if (result.empty()) {
      result = std::move(records);
    } else {
      result.insert(result.end(), std::make_move_iterator(records.begin()),
                    std::make_move_iterator(records.end()));
    }
    if (!more) break;
  }
  return result;
}

template <typename Record>
Record FoliumClient::sendJSON(std::string_view path, std::string_view method,
                              const JsonFields& body) const {
  boost::json::object object;
  for (const auto& [key, value] : body) {
    if (value) {
      object[key] = *value;
    } else {
      object[key] = nullptr;
    }
  }
  const std::string text = boost::json::serialize(object);
  auto response = send(method, makeURL(path), true, {{"Content-Type", "application/json"}}, text);
  return decodeObject<Record>(response.body);
}

void FoliumClient::sendWithoutBody(std::string_view path, std::string_view method) const {
  send(method, makeURL(path), true);
}

template Workspace FoliumClient::fetchObject<Workspace>(std::string_view, const QueryItems&) const;
template Folder FoliumClient::fetchObject<Folder>(std::string_view, const QueryItems&) const;
template FoliumDocument FoliumClient::fetchObject<FoliumDocument>(std::string_view,
                                                                  const QueryItems&) const;
template ChangePage FoliumClient::fetchObject<ChangePage>(std::string_view,
                                                          const QueryItems&) const;
template SearchResponse FoliumClient::fetchObject<SearchResponse>(std::string_view,
                                                                  const QueryItems&) const;
template std::vector<Workspace> FoliumClient::fetchAllPages<Workspace>(std::string_view,
                                                                       QueryItems,
                                                                       std::int64_t) const;
template std::vector<Folder> FoliumClient::fetchAllPages<Folder>(std::string_view, QueryItems,
                                                                 std::int64_t) const;
template std::vector<FoliumDocument> FoliumClient::fetchAllPages<FoliumDocument>(
    std::string_view, QueryItems, std::int64_t) const;
template ListPage<FoliumDocument> FoliumClient::fetchPage<FoliumDocument>(std::string_view,
                                                                          QueryItems, std::int64_t,
                                                                          std::int64_t) const;
template Folder FoliumClient::sendJSON<Folder>(std::string_view, std::string_view,
                                               const JsonFields&) const;
template FoliumDocument FoliumClient::sendJSON<FoliumDocument>(std::string_view,
                                                               std::string_view,
                                                               const JsonFields&) const;

}  // namespace folium

#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http/http_session.hpp"

namespace folium::testing {

// What the scripted server received, byte for byte.
struct RecordedRequest {
  std::string method;
  std::string target;             // request target as sent: path and query, still percent-encoded
  std::string path;               // target up to "?"
  std::string query;              // after "?", empty when there is none
  platform::HttpHeaders headers;  // names as spelled by the client, in order
  std::string body;

  std::optional<std::string_view> header(std::string_view name) const {
    return platform::findHeader(headers, name);
  }
};

struct ScriptedResponse {
  int statusCode = 200;  // not `status`, the name of the factory below
  platform::HttpHeaders headers{};
  std::string body{};  // Content-Length is added unless a header already sets it
  // When set, these bytes are written instead of a response built from the fields above
  // (a non-HTTP reply, a broken header...). The connection is closed afterwards.
  std::optional<std::string> raw{};
  bool closeWithoutReply = false;                 // drop the connection, answer nothing
  std::chrono::milliseconds delay{0};             // wait before answering
  std::chrono::milliseconds bodyByteInterval{0};  // trickle the body, one byte each interval

  static ScriptedResponse json(std::string body, int status = 200,
                               platform::HttpHeaders headers = {});
  static ScriptedResponse status(int code);         // this status, no body
  static ScriptedResponse bytes(std::string body);  // contents: application/octet-stream
};

// An HTTP/1.1 server on 127.0.0.1 with a free port, run on its own threads, that answers
// each request with whatever the test's handler returns and records every request.
// Keep-alive is honoured, so connection reuse can be observed.
class ScriptedServer {
 public:
  using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

  explicit ScriptedServer(Handler handler);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const;
  std::string baseURL() const;  // "http://127.0.0.1:PORT/"
  std::vector<RecordedRequest> requests() const;
  size_t requestCount() const;
  size_t connectionCount() const;  // TCP connections accepted so far

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace folium::testing

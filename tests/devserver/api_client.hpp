#pragma once

// Plain HTTP access to a running folium-devserver for its tests: requests are written out
// by hand, so what is tested is the server's wire behaviour and not a client library's.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/devserver.hpp"

namespace folium::devserver::testing {

namespace json = boost::json;

struct Reply {
  int status = 0;  // 0: the transport failed
  std::string body;
  httplib::Headers headers;

  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
  json::value json() const { return json::parse(body); }
};

// One file part and the text fields of an upload, in the order they are sent.
struct UploadPart {
  std::string name;
  std::optional<std::string> filename;
  std::optional<std::string> contentType;
  std::string data;
};

inline std::string multipartBody(const std::string& boundary,
                                 const std::vector<UploadPart>& parts) {
  std::string body;
  for (const auto& part : parts) {
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + part.name + "\"";
    if (part.filename) body += "; filename=\"" + *part.filename + "\"";
    body += "\r\n";
    if (part.contentType) body += "Content-Type: " + *part.contentType + "\r\n";
    body += "\r\n" + part.data + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  return body;
}

class ApiClient {
 public:
  explicit ApiClient(const folium::testing::Devserver& server, std::string token = "test-token")
      : client_(server.baseURL().substr(0, server.baseURL().size() - 1)), token_(std::move(token)) {
    client_.set_read_timeout(30, 0);
  }

  Reply send(const std::string& method, const std::string& target, const std::string& body = {},
             const std::string& contentType = {}, httplib::Headers extra = {}) {
    httplib::Request req;
    req.method = method;
    req.path = "/api/v1/" + target;
    req.headers = std::move(extra);
    if (!token_.empty()) req.headers.emplace("Authorization", "Bearer " + token_);
    if (!contentType.empty() || !body.empty()) {
      req.headers.emplace("Content-Type", contentType.empty() ? "application/json" : contentType);
      req.body = body;
    }
    auto result = client_.send(req);
    Reply reply;
    if (!result) return reply;
    reply.status = result->status;
    reply.body = result->body;
    reply.headers = result->headers;
    return reply;
  }

  Reply get(const std::string& target) { return send("GET", target); }
  Reply del(const std::string& target) { return send("DELETE", target); }
  Reply post(const std::string& target, const json::value& body) {
    return send("POST", target, json::serialize(body), "application/json");
  }
  Reply patch(const std::string& target, const json::value& body) {
    return send("PATCH", target, json::serialize(body), "application/json");
  }
  Reply upload(const std::string& method, const std::string& target,
               const std::vector<UploadPart>& parts,
               const std::string& boundary = "Boundary-3F2504E0-4F89-11D3-9A0C-0305E82C3301") {
    return send(method, target, multipartBody(boundary, parts),
                "multipart/form-data; boundary=" + boundary);
  }

  // Helpers that expect success and return the record.
  json::object createWorkspace(const std::string& label) {
    return expectObject(post("documents/workspaces", {{"label", label}}), 201);
  }
  json::object createFolder(const std::string& workspaceId, const std::string& name,
                            std::optional<std::string> parentId = std::nullopt) {
    json::object body{{"name", name}, {"workspace_id", workspaceId}};
    if (parentId) body["documents_folder_id"] = *parentId;
    return expectObject(post("documents/folders", body), 201);
  }
  json::object createDocument(const std::string& workspaceId, const std::string& filename,
                              const std::string& data,
                              std::optional<std::string> folderId = std::nullopt) {
    std::vector<UploadPart> parts{{"workspace_id", {}, {}, workspaceId}};
    if (folderId) parts.push_back({"documents_folder_id", {}, {}, *folderId});
    parts.push_back({"uploaded_file", filename, "application/octet-stream", data});
    return expectObject(upload("POST", "documents/documents", parts), 201);
  }
  json::object patched(const std::string& target, const json::value& body) {
    return expectObject(patch(target, body), 200);
  }
  json::object changes(std::int64_t cursor, std::int64_t limit = 1000) {
    return expectObject(get("documents/changes?cursor=" + std::to_string(cursor) +
                            "&limit=" + std::to_string(limit)),
                        200);
  }

  static json::object expectObject(const Reply& reply, int status) {
    EXPECT_EQ(reply.status, status) << reply.body;
    if (reply.status != status) return {};
    json::value value = reply.json();
    EXPECT_TRUE(value.is_object()) << reply.body;
    return value.is_object() ? value.as_object() : json::object{};
  }

 private:
  httplib::Client client_;
  std::string token_;
};

// A TCP connection to the server on which the test writes bytes by hand.
class RawConnection {
 public:
  RawConnection(const folium::testing::Devserver& server, std::string_view bytes) {
    const std::string& url = server.baseURL();
    const int port = std::stoi(url.substr(url.rfind(':') + 1));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  RawConnection(RawConnection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ~RawConnection() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Everything the server sends until it closes the connection.
  std::string readAll() {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;) out.append(buffer, n);
    return out;
  }

 private:
  int fd_ = -1;
};

inline std::string str(const json::value& value) {
  return value.is_string() ? std::string(value.as_string()) : json::serialize(value);
}

// Every change record after `cursor`, as (entity_type, entity_id, action) triples.
inline std::vector<std::tuple<std::string, std::string, std::string>> feedSince(
    ApiClient& api, std::int64_t cursor) {
  std::vector<std::tuple<std::string, std::string, std::string>> out;
  json::object page = api.changes(cursor);
  for (const auto& change : page["changes"].as_array()) {
    const auto& c = change.as_object();
    out.emplace_back(str(c.at("entity_type")), str(c.at("entity_id")), str(c.at("action")));
  }
  return out;
}

}  // namespace folium::devserver::testing

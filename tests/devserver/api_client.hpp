#pragma once

// A running folium-devserver as its tests reach it: the client's own calls to lay out a
// tree, cpp-httplib for what the server answers on the wire, and bytes written by hand for
// what no client sends.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files/file_descriptor.hpp"
#include "tests/support/devserver.hpp"

namespace folium::devserver::testing {

// Requests to "/api/v1/…" carry `token` unless it is empty.
inline httplib::Client httpOf(const folium::testing::Devserver& server,
                              const std::string& token = "test-token") {
  httplib::Client client(server.baseURL().substr(0, server.baseURL().size() - 1));
  if (!token.empty()) client.set_default_headers({{"Authorization", "Bearer " + token}});
  client.set_read_timeout(30, 0);
  return client;
}

// A new workspace's identifier (the client makes none).
inline std::string createWorkspace(const folium::testing::Devserver& server,
                                   const std::string& label) {
  auto reply = httpOf(server).Post("/api/v1/documents/workspaces", R"({"label":")" + label + "\"}",
                                   "application/json");
  EXPECT_TRUE(reply && reply->status == 201);
  return reply ? std::string(boost::json::parse(reply->body).at("id").as_string()) : "";
}

// One part of an upload, in the order sent.
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
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
    if (part.filename) body += "; filename=\"" + *part.filename + "\"";
    body += "\r\n";
    if (part.contentType) body += "Content-Type: " + *part.contentType + "\r\n";
    body += "\r\n" + part.data + "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

// A loopback connection on which `bytes` were sent as they stand.
inline platform::FileDescriptor rawConnection(const folium::testing::Devserver& server,
                                              std::string_view bytes) {
  const std::string& url = server.baseURL();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
  return fd;
}

}  // namespace folium::devserver::testing

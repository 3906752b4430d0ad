// Refusals of what a client may send: missing or wrong tokens, names and references the
// server does not take, ambiguous requests. Each answers with its status and a short JSON
// message, and changes nothing.

#include <gtest/gtest.h>

#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

// METHOD /api/v1/TARGET with a JSON body when one is given.
httplib::Result send(httplib::Client& client, const std::string& method, const std::string& target,
                     const std::string& body = {}, const httplib::Headers& headers = {}) {
  httplib::Request request;
  request.method = method;
  request.path = "/api/v1/" + target;
  request.headers = headers;
  if (!body.empty()) request.set_header("Content-Type", "application/json");
  request.body = body;
  return client.send(request);
}

void expectJsonError(const httplib::Result& reply, int status, const std::string& context) {
  ASSERT_TRUE(reply) << context;
  EXPECT_EQ(reply->status, status) << context << ": " << reply->body;
  EXPECT_EQ(reply->get_header_value("Content-Type"), "application/json") << context;
  EXPECT_NE(reply->body.find("\"error\""), std::string::npos) << context << ": " << reply->body;
}

std::int64_t feedEnd(const Devserver& server) { return server.client().changes(0, 1000).cursor; }

TEST(Authentication, EveryEndpointRefusesAMissingOrWrongToken) {
  Devserver server({"--token", "second-token"});
  const std::string ws = createWorkspace(server, "A");
  const std::optional<std::string> credentials[] = {
      std::nullopt, "Bearer test", "Bearer test-token2", "Bearer ", "Basic dGVzdC10b2tlbg==",
  };
  const std::pair<std::string, std::string> endpoints[] = {
      {"GET", "documents/workspaces/" + ws},
      {"GET", "documents/changes?cursor=0"},
      {"GET", "search?q=a"},
      {"POST", "documents/folders"},
      {"DELETE", "documents/folders/1"},
      {"GET", "no/such/route"},
  };
  httplib::Client anonymous = httpOf(server, "");
  for (const auto& credential : credentials) {
    for (const auto& [method, target] : endpoints) {
      httplib::Headers headers;
      if (credential) headers.emplace("Authorization", *credential);
      expectJsonError(
          send(anonymous, method, target, method == "POST" ? R"({"name":"x"})" : "", headers), 401,
          credential.value_or("none") + " " + method + " " + target);
    }
  }
  // Both tokens work; the scheme is case-insensitive.
  EXPECT_EQ(httpOf(server, "second-token").Get("/api/v1/documents/workspaces")->status, 200);
  EXPECT_EQ(anonymous.Get("/api/v1/documents/workspaces", {{"Authorization", "bearer test-token"}})
                ->status,
            200);
  EXPECT_EQ(feedEnd(server), 1) << "a refused request changed something";
}

TEST(MalformedRequests, AreRefusedAndChangeNothing) {
  Devserver server;
  ASSERT_EQ(createWorkspace(server, "A"), "1");
  const std::string folder = server.client().createFolder("1", std::nullopt, "F").id;
  const std::string f = "documents/folders/" + folder;
  auto named = [](const std::string& name) {
    return R"({"name":)" + name + R"(,"workspace_id":"1"})";
  };
  const struct {
    std::string method, target, body;
    int status = 400;
  } cases[] = {
      {"GET", "documents/changes?cursor=-1&limit=10", ""},
      {"GET", "search?q=" + std::string(1001, 'a'), ""},
      // The value is everything after the first "=": no workspace has that id.
      {"GET", "documents/folders?workspace_id=1+OR+1=1", "", 404},
      // Names no upload could carry, or that no file system takes.
      {"POST", "documents/folders", named(R"("")")},
      {"POST", "documents/folders", named(R"("a\nb")")},
      {"POST", "documents/folders", named("\"" + std::string(256, 'n') + "\"")},
      {"PATCH", f, R"({"name":"a\r\nb"})"},
      // A folder cannot move into itself or what it holds: 422, as for unknown references.
      {"PATCH", f, R"({"documents_folder_id":")" + folder + "\"}", 422},
      {"POST", "documents/folders", R"({"name":"x","workspace_id":"424242"})", 422},
      {"POST", "documents/folders", named("\"x\",\"documents_folder_id\":\"999\""), 422},
      {"PATCH", "documents/folders/777", R"({"name":"x"})", 404},
      {"DELETE", "documents/documents/" + folder, "", 404},
  };
  const std::int64_t feedBefore = feedEnd(server);
  httplib::Client http = httpOf(server);
  for (const auto& c : cases) {
    expectJsonError(send(http, c.method, c.target, c.body), c.status,
                    c.method + " " + c.target + " " + c.body.substr(0, 60));
  }
  EXPECT_EQ(feedEnd(server), feedBefore);
  EXPECT_EQ(server.client().getFolder(folder).name, "F");
  EXPECT_EQ(send(http, "GET", "documents/folders?workspace_id=1&x=a=b")->status, 200);
}

// Two lengths that disagree, and connections that never finish their headers.
TEST(MalformedRequests, TwoDifferentLengthsAreRefusedAndIdleConnectionsStallNobody) {
  Devserver server;
  const auto twoLengths = rawConnection(
      server,
      "POST /api/v1/documents/folders HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer test-token\r\n"
      "Content-Type: application/json\r\nContent-Length: 2\r\nContent-Length: 40\r\n\r\n{}");
  char reply[12] = {};
  EXPECT_EQ(::recv(twoLengths.get(), reply, sizeof reply, MSG_WAITALL), 12);
  EXPECT_EQ(std::string(reply, sizeof reply), "HTTP/1.1 400");
  std::vector<platform::FileDescriptor> idle;
  for (int i = 0; i < 60; ++i) {
    idle.push_back(rawConnection(server, "GET /api/v1/documents/workspaces HTTP/1.1\r\n"));
  }
  EXPECT_EQ(httpOf(server).Get("/api/v1/documents/workspaces")->status, 200);
}

}  // namespace
}  // namespace folium::devserver::testing

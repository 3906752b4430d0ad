// Refusals of what the client may send: missing or wrong tokens, names and references the
// server does not take, ambiguous requests. Each answers with its status and a short JSON
// message, and changes nothing.

#include <gtest/gtest.h>

#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

void expectJsonError(const Reply& reply, int status, const std::string& context) {
  EXPECT_EQ(reply.status, status) << context << ": " << reply.body;
  EXPECT_EQ(reply.header("Content-Type"), "application/json") << context;
  EXPECT_NE(reply.body.find("\"error\""), std::string::npos) << context << ": " << reply.body;
}

TEST(Authentication, EveryEndpointRefusesAMissingOrWrongToken) {
  Devserver server({"--token", "second-token"});
  ApiClient good(server);
  std::string ws = str(good.createWorkspace("A")["id"]);
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
  ApiClient anonymous(server, "");
  for (const auto& credential : credentials) {
    for (const auto& [method, target] : endpoints) {
      httplib::Headers headers;
      if (credential) headers.emplace("Authorization", *credential);
      Reply reply = anonymous.send(method, target, method == "POST" ? "{\"name\":\"x\"}" : "",
                                   method == "POST" ? "application/json" : "", headers);
      expectJsonError(reply, 401, credential.value_or("none") + " " + method + " " + target);
    }
  }
  // Both configured tokens work; the scheme is case-insensitive.
  EXPECT_EQ(ApiClient(server, "second-token").get("documents/workspaces").status, 200);
  EXPECT_EQ(
      anonymous
          .send("GET", "documents/workspaces", "", "", {{"Authorization", "bearer test-token"}})
          .status,
      200);
  EXPECT_EQ(good.changes(0)["changes"].as_array().size(), 1u)
      << "a refused request changed something";
}

TEST(MalformedRequests, AreRefusedAndChangeNothing) {
  Devserver server;
  ApiClient api(server);
  ASSERT_EQ(str(api.createWorkspace("A")["id"]), "1");
  std::string folder = str(api.createFolder("1", "F")["id"]);
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
  const std::int64_t feedBefore = api.changes(0)["cursor"].as_int64();
  for (const auto& c : cases) {
    Reply reply = api.send(c.method, c.target, c.body, c.body.empty() ? "" : "application/json");
    expectJsonError(reply, c.status, c.method + " " + c.target + " " + c.body.substr(0, 60));
  }
  EXPECT_EQ(api.changes(0)["cursor"].as_int64(), feedBefore);
  EXPECT_EQ(str(api.get(f).json().at("name")), "F");
  EXPECT_EQ(api.get("documents/folders?workspace_id=1&x=a=b").status, 200);
}

TEST(MalformedRequests, TwoDifferentLengthsAreRefused) {
  Devserver server;
  const std::string twoLengths =
      "POST /api/v1/documents/folders HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer "
      "test-token\r\nContent-Type: application/json\r\nContent-Length: 2\r\nContent-Length: "
      "40\r\n\r\n{}";
  EXPECT_TRUE(RawConnection(server, twoLengths).readAll().starts_with("HTTP/1.1 400"));
}

TEST(MalformedRequests, IdleConnectionsDoNotStallOthers) {
  Devserver server;
  std::vector<RawConnection> idle;
  // Headers begun and never finished.
  for (int i = 0; i < 60; ++i) {
    idle.emplace_back(server, "GET /api/v1/documents/workspaces HTTP/1.1\r\n");
  }
  EXPECT_EQ(ApiClient(server).get("documents/workspaces").status, 200);
}

}  // namespace
}  // namespace folium::devserver::testing

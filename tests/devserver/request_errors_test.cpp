// Refusals: missing or wrong tokens, malformed requests, unknown routes. Each answers with
// its status and a short JSON message, and changes nothing.

#include <gtest/gtest.h>

#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

void expectJsonError(const Reply& reply, int status, const std::string& context) {
  EXPECT_EQ(reply.status, status) << context << ": " << reply.body;
  ASSERT_FALSE(reply.body.empty()) << context;
  json::value body = reply.json();
  ASSERT_TRUE(body.is_object()) << context;
  EXPECT_TRUE(body.as_object().contains("error")) << context << ": " << reply.body;
  EXPECT_EQ(reply.header("Content-Type"), "application/json") << context;
}

TEST(Authentication, EveryEndpointRefusesAMissingOrWrongToken) {
  Devserver server({"--token", "second-token"});
  ApiClient good(server);
  std::string ws = str(good.createWorkspace("A")["id"]);

  struct Credential {
    std::string description;
    std::optional<std::string> header;
  };
  std::vector<Credential> credentials = {
      {"no header", std::nullopt},
      {"wrong token", "Bearer nope"},
      {"token prefix", "Bearer test"},
      {"token with suffix", "Bearer test-token2"},
      {"other scheme", "Basic dGVzdC10b2tlbg=="},
      {"scheme only", "Bearer "},
      {"token without scheme", "test-token"},
  };
  std::vector<std::pair<std::string, std::string>> endpoints = {
      {"GET", "documents/workspaces"},
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
      if (credential.header) headers.emplace("Authorization", *credential.header);
      Reply reply = anonymous.send(method, target, method == "POST" ? "{\"name\":\"x\"}" : "",
                                   method == "POST" ? "application/json" : "", headers);
      expectJsonError(reply, 401, credential.description + " " + method + " " + target);
    }
  }
  // Both configured tokens work; the scheme is case-insensitive.
  ApiClient second(server, "second-token");
  EXPECT_EQ(second.get("documents/workspaces").status, 200);
  EXPECT_EQ(
      anonymous
          .send("GET", "documents/workspaces", "", "", {{"Authorization", "bearer test-token"}})
          .status,
      200);
  EXPECT_EQ(good.changes(0)["changes"].as_array().size(), 1u)
      << "a refused request changed something";
}

TEST(MalformedRequests, AreRefusedWithBadRequest) {
  Devserver server;
  ApiClient api(server);
  std::string ws = str(api.createWorkspace("A")["id"]);
  std::string folder = str(api.createFolder(ws, "F")["id"]);

  const std::vector<std::string> badQueries = {"documents/documents?per_page=0",
                                               "documents/documents?per_page=-5",
                                               "documents/documents?per_page=abc",
                                               "documents/documents?per_page=1001",
                                               "documents/folders?per_page=12.5",
                                               "documents/workspaces?page=0",
                                               "documents/workspaces?page=",
                                               "documents/changes?cursor=-1&limit=10",
                                               "documents/changes?cursor=x&limit=10",
                                               "documents/changes?cursor=0&limit=0",
                                               "search?limit=5",
                                               "search?q=a&limit=0",
                                               "search?q=a&limit=ten",
                                               "search?q=" + std::string(1001, 'a')};
  auto named = [&](const std::string& name) {
    return "{\"name\":" + name + ",\"workspace_id\":\"" + ws + "\"}";
  };
  const std::vector<std::string> badFolders = {"{not json",
                                               "[1,2]",
                                               "",
                                               "{\"workspace_id\":\"" + ws + "\"}",
                                               "{\"name\":\"x\"}",
                                               named("7"),
                                               "{\"name\":\"x\",\"workspace_id\":" + ws + "}",
                                               named("\"\""),
                                               named("\"a/b\""),
                                               named("\"..\""),
                                               named("\"" + std::string(256, 'n') + "\"")};
  const std::vector<std::string> badPatches = {"{}", "{\"name\":null}", "{\"name\":\"\"}",
                                               "{\"documents_folder_id\":5}", "{\"other\":\"x\"}"};
  std::int64_t feedBefore = api.changes(0)["changes"].as_array().size();
  auto expectRefused = [&](const std::string& method, const std::string& target,
                           const std::string& body) {
    Reply reply = api.send(method, target, body, body.empty() ? "" : "application/json");
    expectJsonError(reply, 400, method + " " + target + " " + body.substr(0, 60));
  };
  for (const auto& target : badQueries) expectRefused("GET", target, "");
  for (const auto& body : badFolders) expectRefused("POST", "documents/folders", body);
  expectRefused("POST", "documents/workspaces", "{\"description\":\"no label\"}");
  for (const auto& body : badPatches) expectRefused("PATCH", "documents/folders/" + folder, body);
  EXPECT_EQ(static_cast<std::int64_t>(api.changes(0)["changes"].as_array().size()), feedBefore);
  EXPECT_EQ(str(api.get("documents/folders/" + folder).json().at("name")), "F");
}

TEST(MalformedRequests, UnknownRoutesAndMethods) {
  Devserver server;
  ApiClient api(server);
  expectJsonError(api.get("documents/nothing"), 404, "unknown collection");
  expectJsonError(api.get("documents"), 404, "bare prefix");
  expectJsonError(api.get("search/x"), 404, "below search");
  Reply put = api.send("PUT", "documents/folders", "{}", "application/json");
  expectJsonError(put, 405, "PUT on a collection");
  EXPECT_EQ(put.header("Allow"), "GET, POST");
  expectJsonError(api.send("DELETE", "documents/workspaces"), 405, "DELETE on workspaces");
  expectJsonError(api.send("POST", "documents/changes", "{}", "application/json"), 405,
                  "POST on the feed");

  // Outside the API no token is asked for, and nothing is found.
  httplib::Client plain(server.baseURL().substr(0, server.baseURL().size() - 1));
  auto outside = plain.Get("/index.html");
  ASSERT_TRUE(outside);
  EXPECT_EQ(outside->status, 404);
}

TEST(MalformedRequests, ReferencesToUnknownOrForeignEntitiesAreUnprocessable) {
  Devserver server;
  ApiClient api(server);
  std::string a = str(api.createWorkspace("A")["id"]);
  std::string b = str(api.createWorkspace("B")["id"]);
  std::string inA = str(api.createFolder(a, "in A")["id"]);
  std::string inB = str(api.createFolder(b, "in B")["id"]);
  std::string doc = str(api.createDocument(a, "d.txt", "x")["id"]);

  struct Case {
    std::string method;
    std::string target;
    json::object body;
  };
  auto folderIn = [](const std::string& workspace, const std::string& parent) {
    return json::object{
        {"name", "x"}, {"workspace_id", workspace}, {"documents_folder_id", parent}};
  };
  std::vector<Case> cases = {
      {"POST", "documents/folders", {{"name", "x"}, {"workspace_id", "424242"}}},
      {"POST", "documents/folders", {{"name", "x"}, {"workspace_id", inA}}},
      {"POST", "documents/folders", folderIn(a, "999")},
      {"POST", "documents/folders", folderIn(a, inB)},
      {"POST", "documents/folders", folderIn(a, doc)},
      {"PATCH", "documents/folders/" + inA, {{"documents_folder_id", inB}}},
      {"PATCH", "documents/folders/" + inA, {{"documents_folder_id", inA}}},
      {"PATCH", "documents/documents/" + doc, {{"documents_folder_id", inB}}},
      {"PATCH", "documents/documents/" + doc, {{"documents_folder_id", "nope"}}},
  };
  for (const auto& c : cases) {
    Reply reply = api.send(c.method, c.target, json::serialize(c.body), "application/json");
    expectJsonError(reply, 422, c.method + " " + c.target + " " + json::serialize(c.body));
  }
  for (const std::string& target :
       std::vector<std::string>{"documents/folders/777", "documents/documents/" + inA}) {
    expectJsonError(api.patch(target, {{"name", "x"}}), 404, "PATCH " + target);
    expectJsonError(api.del(target), 404, "DELETE " + target);
  }
}

}  // namespace
}  // namespace folium::devserver::testing

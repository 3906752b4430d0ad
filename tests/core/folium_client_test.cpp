#include "core/folium_client.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "devserver/multipart_parser.hpp"
#include "tests/support/scripted_server.hpp"

namespace folium {
namespace {

using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::ScriptedServer;

FoliumClient clientFor(const std::string& baseURL, const std::string& token = "secret") {
  return FoliumClient(FoliumConfig{Url::parse(baseURL), token}, platform::sharedHttpSession());
}

FoliumClient clientFor(const ScriptedServer& server) { return clientFor(server.baseURL()); }

constexpr const char* kFolderJson = R"({"id":"f","name":"F","workspace_id":"w"})";
constexpr const char* kDocumentJson = R"({"id":"d","name":"a.md","workspace_id":"w"})";

TEST(UrlAssembly, JoinsBaseApiRootAndPathAndEncodesWhatIsGiven) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json(kFolderJson); });
  const std::string base = server.baseURL();  // ends with "/"
  // Identifiers are one segment whatever they hold; dots are sent as they are.
  const std::pair<std::string, std::string> ids[] = {
      {"a?b", "a%3Fb"}, {"a#b", "a%23b"},   {"50%", "50%25"}, {"a b", "a%20b"},
      {"é", "%C3%A9"},  {"a:b@c", "a:b@c"}, {"..", ".."},     {".", "."},
  };
  for (const auto& [id, encoded] : ids) {
    clientFor(base).getFolder(id);
    EXPECT_EQ(server.requests().back().target, "/api/v1/documents/folders/" + encoded) << id;
  }
  // A base with or without a final "/", with or without a path prefix.
  for (const std::string prefix : {"", "prefix", "prefix/"}) {
    clientFor(base.substr(0, base.size() - (prefix.empty() ? 1 : 0)) + prefix).getFolder("f");
    EXPECT_EQ(server.requests().back().target,
              (prefix.empty() ? "" : "/prefix") + std::string("/api/v1/documents/folders/f"));
  }
  EXPECT_EQ(server.requests().back().target.find('?'), std::string::npos);
  // Query values reach the server exactly as given; every hit comes back, in order.
  ScriptedServer search([](const RecordedRequest&) {
    return ScriptedResponse::json(
        R"({"results":[{"entity_type":"Document","entity_id":"1","name":"a"},
                       {"entity_type":"Document","entity_id":"1","name":"a","page_number":2}]})");
  });
  EXPECT_EQ(clientFor(search).search("a+b&c=d#e f", 5).size(), 2u);
  EXPECT_EQ(search.requests().back().target, "/api/v1/search?q=a%2Bb%26c%3Dd%23e%20f&limit=5");
}

TEST(UrlAssembly, RefusesAddressesThatAreNotAbsoluteHttp) {
  for (const char* address : {"docs.example.org", "localhost:8080", "ftp://h.example/",
                              "file:///etc/passwd", "http:///nohost", "/relative"}) {
    auto client = clientFor(address);
    try {
      client.listWorkspaces();
      ADD_FAILURE() << address;
    } catch (const InvalidAddressError& e) {
      EXPECT_NE(std::string(e.what()).find(address), std::string::npos) << e.what();
    }
  }
}

// Each call as the server receives it: "METHOD target body". JSON bodies say so, and every
// answer but contents is asked for as JSON; the token goes out verbatim.
TEST(Requests, EachCallSendsItsMethodTargetAndExactlyItsKeys) {
  const std::string contents(3 << 20, '\x01');
  ScriptedServer server([&](const RecordedRequest& r) {
    if (r.path.ends_with("/blob")) return ScriptedResponse::bytes(contents);
    if (r.method == "DELETE") return ScriptedResponse::json("not json");  // never read
    if (r.query.find("page=") != std::string::npos) return ScriptedResponse::json("[]");
    if (r.path.find("workspaces") != std::string::npos) {
      return ScriptedResponse::json(R"({"id":"w","label":"L"})");
    }
    return ScriptedResponse::json(r.path.find("folders") != std::string::npos ? kFolderJson
                                                                              : kDocumentJson);
  });
  const auto client = clientFor(server);
  const std::string d = "/api/v1/documents/";
  const FoliumDocument elsewhere{"a/b", "x.pdf", {}, "w", "http://other.example/x", {}, {}, {}};
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { client.getWorkspace("w"); }, "GET " + d + "workspaces/w"},
      // Filters come first, and only when given.
      {[&] { client.listDocuments("w 1", std::nullopt); },
       "GET " + d + "documents?workspace_id=w%201&per_page=1000&page=1"},
      {[&] { client.listDocuments("w", "f&g"); },
       "GET " + d + "documents?workspace_id=w&documents_folder_id=f%26g&per_page=1000&page=1"},
      {[&] { client.listFolders(std::nullopt, "p"); },
       "GET " + d + "folders?documents_folder_id=p&per_page=1000&page=1"},
      {[&] { client.listFolders(std::nullopt, std::nullopt); },
       "GET " + d + "folders?per_page=1000&page=1"},
      {[&] { client.createFolder("w", std::nullopt, "Nouveau dossier"); },
       "POST " + d + R"(folders {"name":"Nouveau dossier","workspace_id":"w"})"},
      {[&] { client.createFolder("w", "p", "x"); },
       "POST " + d + R"(folders {"name":"x","workspace_id":"w","documents_folder_id":"p"})"},
      {[&] { client.moveDocument("d", std::nullopt); },
       "PATCH " + d + R"(documents/d {"documents_folder_id":null})"},
      {[&] { client.moveFolder("f", "t"); },
       "PATCH " + d + R"(folders/f {"documents_folder_id":"t"})"},
      {[&] { client.renameDocument("d", " n\"é "); },
       "PATCH " + d + "documents/d {\"name\":\" n\\\"é \"}"},
      {[&] { client.deleteFolder("f"); }, "DELETE " + d + "folders/f"},
      // Contents are fetched by identifier, whatever address the record gives.
      {[&] { EXPECT_EQ(client.download(elsewhere), contents); }, "GET " + d + "documents/a/b/blob"},
  };
  for (const auto& [call, line] : cases) {
    SCOPED_TRACE(line);
    call();
    const RecordedRequest r = server.requests().back();
    EXPECT_EQ(r.method + " " + r.target + (r.body.empty() ? "" : " " + r.body), line);
    const std::optional<std::string_view> json = "application/json", none;
    EXPECT_EQ(r.header("Content-Type"), r.body.empty() ? none : json);
    EXPECT_EQ(r.header("Content-Length").value_or("0"), std::to_string(r.body.size()));
    EXPECT_EQ(r.header("Accept"), r.path.ends_with("/blob") ? none : json);
    EXPECT_EQ(r.header("Authorization"), "Bearer secret");
  }
  // A server drops the whitespace that ends a header line.
  clientFor(server.baseURL(), "").getWorkspace("w");
  EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer");
  clientFor(server.baseURL(), " a b").downloadDocument("d");
  EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer  a b");
}

// Only a 2xx status is a success. What the server says of a failure travels with it, as
// one bounded line; other bodies say nothing. The status stays the failure.
TEST(ResponseCheck, AcceptsOnlyTwoHundredsAndKeepsTheServerReasonOfAFailure) {
  std::atomic<int> status{200};
  std::string body;
  ScriptedServer server(
      [&](const RecordedRequest&) { return ScriptedResponse::json(body, status); });
  auto client = clientFor(server);
  for (int code : {200, 201, 204, 299}) {
    status = code;
    EXPECT_NO_THROW(client.deleteDocument("d")) << code;
  }
  const std::string accented = std::string(200, 'a') + "é" + std::string(200, 'b');
  const struct {
    int status;
    std::string body;
    std::string reason;
  } cases[] = {
      {400, R"({"error":"the name is not valid UTF-8"})", "the name is not valid UTF-8"},
      {500, R"({"error":"two\nlines\u0007"})", "two lines "},
      {403, R"({"error":")" + accented + R"("})",
       std::string(200, 'a') + "é" + std::string(98, 'b') + "…"},
      {404, R"({"error":42})", ""},
      {410, R"(["error"])", ""},
      {503, "not json", ""},
      {401, "", ""},
      {300, "", ""},
      {304, "", ""},
  };
  for (const auto& c : cases) {
    status = c.status;
    body = c.body;
    try {
      client.deleteDocument("d");
      ADD_FAILURE() << c.status;
    } catch (const FoliumError& e) {
      EXPECT_EQ(e.status(), c.status) << c.body;
      EXPECT_EQ(std::string(e.what()), "http status " + std::to_string(c.status));
      EXPECT_EQ(e.reason(), c.reason) << c.body;
    }
  }
}

// Which replies are not HTTP is told in tests/platform; one is enough for the mapping.
TEST(ResponseCheck, NonHttpTransportAndDecodingFailuresKeepTheirKinds) {
  ScriptedServer server([&](const RecordedRequest& request) {
    ScriptedResponse r = ScriptedResponse::json("");
    if (request.method == "GET") r.raw = "SSH-2.0-OpenSSH_9.2\r\n";
    return r;
  });
  try {
    clientFor(server).getFolder("f");
    ADD_FAILURE();
  } catch (const FoliumError& e) {
    EXPECT_EQ(e, FoliumError::invalidResponse());
  }
  EXPECT_THROW(clientFor(server).renameFolder("f", "x"), DecodingError);
  EXPECT_THROW(clientFor("http://127.0.0.1:1/").listWorkspaces(), platform::TransportError);
}

// Answers page N of a listing with `pages[N-1]`: a body and an X-Has-More value (none when
// the optional is empty).
struct PagedScript {
  std::vector<std::pair<std::string, std::optional<std::string>>> pages;
  ScriptedResponse operator()(const RecordedRequest& r) const {
    const auto pos = r.query.find("page=", r.query.find("per_page=") + 9);
    const std::size_t page = std::stoul(r.query.substr(pos + 5));
    if (page > pages.size()) return ScriptedResponse::status(500);
    const auto& [body, more] = pages[page - 1];
    platform::HttpHeaders headers;
    if (more) headers.emplace_back("x-has-more", *more);
    return ScriptedResponse::json(body, 200, headers);
  }
};

TEST(ListingPaging, ContinuesOnlyOnTrueInAnyCase) {
  const std::pair<std::string, bool> cases[] = {
      {"true", true}, {"TRUE", true}, {"True", true}, {"false", false},
      {"1", false},   {"yes", false}, {"", false},    {"truee", false},
  };
  for (const auto& [value, continues] : cases) {
    ScriptedServer server(PagedScript{
        {{R"([{"id":"1","label":"a"}])", value}, {R"([{"id":"2","label":"b"}])", std::nullopt}}});
    auto workspaces = clientFor(server).listWorkspaces();
    EXPECT_EQ(workspaces.size(), continues ? 2u : 1u) << value;
    EXPECT_EQ(server.requestCount(), continues ? 2u : 1u) << value;
  }
}

TEST(ListingPaging, EmptyPageWithMoreDoesNotStopOrderIsKeptAndAFailedPageFailsAll) {
  PagedScript script{{{R"([{"id":"1","label":"a"}])", "true"},
                      {"[]", "true"},
                      {R"([{"id":"1","label":"a"},{"id":"0","label":"z"}])", std::nullopt}}};
  ScriptedServer server(script);
  auto workspaces = clientFor(server).listWorkspaces();
  ASSERT_EQ(workspaces.size(), 3u);
  EXPECT_EQ(workspaces[1].id, "1");
  EXPECT_EQ(workspaces[2].id, "0");
  EXPECT_EQ(server.requests()[2].query, "per_page=1000&page=3");

  script.pages[2].second = "true";  // and page 4 is answered with 500
  ScriptedServer failing(script);
  try {
    clientFor(failing).listWorkspaces();
    ADD_FAILURE() << "a failed page was skipped";
  } catch (const FoliumError& e) {
    EXPECT_EQ(e.status(), 500);
  }
}

// The page cap needs ten thousand answers: an in-memory session answers them.
class EndlessPages : public platform::HttpSession {
 public:
  platform::HttpResponse send(const platform::HttpRequest&) override {
    ++requests;
    platform::HttpResponse response;
    response.status = 200;
    response.headers = {{"X-Has-More", "true"}};
    response.body = R"([{"id":"x","label":"x"}])";
    return response;
  }
  std::atomic<int> requests{0};
};

TEST(ListingPaging, StopsAtTheTenThousandthPageWithoutError) {
  auto session = std::make_shared<EndlessPages>();
  FoliumClient client(FoliumConfig{Url::parse("http://h.example/"), "t"}, session);
  EXPECT_EQ(client.listWorkspaces().size(), 10000u);
  EXPECT_EQ(session->requests, 10000);
}

// The last upload as the server reads it: one line per part, "name filename type: data"
// (filename and type left out when the part has none), and the request itself.
struct Upload {
  RecordedRequest request;
  std::string boundary;
  std::vector<std::string> parts;
};

Upload lastUpload(const ScriptedServer& server) {
  Upload upload{server.requests().back(), {}, {}};
  const auto type = upload.request.header("Content-Type").value_or("");
  upload.boundary = devserver::MultipartParser::boundaryOf(type).value_or("");
  EXPECT_EQ(type, "multipart/form-data; boundary=" + upload.boundary);
  devserver::MultipartParser parser(
      upload.boundary,
      [&](const devserver::MultipartPartHeader& h) {
        upload.parts.push_back(h.name + (h.filename ? " " + *h.filename : "") +
                               (h.contentType.empty() ? "" : " " + h.contentType) + ":");
      },
      [&](std::string_view data) { upload.parts.back().append(data); });
  // The body starts with the first boundary line: nothing before it.
  EXPECT_TRUE(upload.request.body.starts_with("--" + upload.boundary + "\r\n"));
  EXPECT_NO_THROW(parser.feed(upload.request.body));
  EXPECT_NO_THROW(parser.finish());
  EXPECT_TRUE(upload.request.body.ends_with("--" + upload.boundary + "--\r\n"));
  return upload;
}

TEST(Upload, CreateSendsFieldsThenTheFileAndUpdateTheFileOnly) {
  ScriptedServer server(
      [](const RecordedRequest&) { return ScriptedResponse::json(kDocumentJson); });
  auto client = clientFor(server);
  const std::string data("\0\r\n--binary\xff", 12);
  client.createDocument("w", std::nullopt, "Notes.MD", data);
  const auto first = lastUpload(server);
  EXPECT_EQ(first.request.method + " " + first.request.path, "POST /api/v1/documents/documents");
  EXPECT_EQ(first.request.header("Accept"), "application/json");
  EXPECT_EQ(first.parts, (std::vector<std::string>{
                             "workspace_id:w", "uploaded_file Notes.MD text/markdown:" + data}));

  client.createDocument("w", "f", "rapport annuel été.pdf", "");
  const auto second = lastUpload(server);
  EXPECT_EQ(second.parts,
            (std::vector<std::string>{"workspace_id:w", "documents_folder_id:f",
                                      "uploaded_file rapport annuel été.pdf application/pdf:"}));
  EXPECT_NE(second.boundary, first.boundary);

  // A name cannot add header lines of its own.
  client.updateDocumentContent("d", "a\"b\r\nX-Injected: 1\r\n.txt", "x");
  const auto update = lastUpload(server);
  EXPECT_EQ(update.request.method + " " + update.request.path,
            "PATCH /api/v1/documents/documents/d");
  EXPECT_EQ(update.parts, std::vector<std::string>{
                              "uploaded_file a%22b%0D%0AX-Injected: 1%0D%0A.txt text/plain:x"});
  EXPECT_EQ(update.request.body.find("\r\nX-Injected"), std::string::npos);
}

}  // namespace
}  // namespace folium

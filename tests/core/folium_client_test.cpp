#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "core/folium_client.hpp"
#include "tests/support/multipart.hpp"
#include "tests/support/scripted_server.hpp"

namespace folium {
namespace {

using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::ScriptedServer;

FoliumClient clientFor(const std::string& baseURL, const std::string& token = "secret") {
  return FoliumClient(FoliumConfig{Url::parse(baseURL), token}, platform::sharedHttpSession());
}

FoliumClient clientFor(const ScriptedServer& server, const std::string& suffix = "") {
  return clientFor(server.baseURL() + suffix);
}

int httpStatusOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const FoliumError& e) {
    return e.kind() == FoliumError::Kind::http ? e.status() : -1;
  }
  return 0;
}

ScriptedResponse bytes(std::string body) {
  ScriptedResponse response;
  response.headers = {{"Content-Type", "application/octet-stream"}};
  response.body = std::move(body);
  return response;
}

constexpr const char* kFolderJson = R"({"id":"f","name":"F","workspace_id":"w"})";
constexpr const char* kDocumentJson = R"({"id":"d","name":"a.md","workspace_id":"w"})";

TEST(UrlAssembly, JoinsBaseApiRootAndPath) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json("[]"); });
  const std::string base = server.baseURL();  // ends with "/"
  const std::string host = base.substr(0, base.size() - 1);
  EXPECT_EQ(clientFor(host).makeURL("documents/workspaces"), host + "/api/v1/documents/workspaces");
  EXPECT_EQ(clientFor(base).makeURL("documents/workspaces"), host + "/api/v1/documents/workspaces");
  EXPECT_EQ(clientFor(host + "/prefix").makeURL("search"), host + "/prefix/api/v1/search");
  EXPECT_EQ(clientFor(host + "/prefix/").makeURL("search"), host + "/prefix/api/v1/search");
  EXPECT_EQ(clientFor(base).makeURL("search", {}).find('?'), std::string::npos);
}

TEST(UrlAssembly, EncodesIdentifiersAsOneSegmentAndValuesExactly) {
  auto client = clientFor("http://h.example/");
  const std::pair<std::string, std::string> ids[] = {
      {"a?b", "a%3Fb"}, {"a#b", "a%23b"},   {"50%", "50%25"},
      {"a b", "a%20b"}, {"é", "%C3%A9"},    {"a:b@c", "a:b@c"},
  };
  for (const auto& [id, encoded] : ids) {
    EXPECT_EQ(client.makeURL("documents/folders/" + id),
              "http://h.example/api/v1/documents/folders/" + encoded)
        << id;
  }
  EXPECT_EQ(client.makeURL("search", {{"q", "a+b&c=d#e f"}, {"limit", "5"}}),
            "http://h.example/api/v1/search?q=a%2Bb%26c%3Dd%23e%20f&limit=5");
}

TEST(UrlAssembly, DotIdentifiersReachTheServerAsSegments) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json(kFolderJson); });
  auto client = clientFor(server);
  client.getFolder("..");
  client.getFolder(".");
  client.getFolder("a?b");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].path, "/api/v1/documents/folders/..");
  EXPECT_EQ(requests[1].path, "/api/v1/documents/folders/.");
  EXPECT_EQ(requests[2].path, "/api/v1/documents/folders/a%3Fb");
  EXPECT_FALSE(requests[2].hasQuery);
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

TEST(CommonRequest, SendsTokenVerbatimAndAcceptExceptOnBlobs) {
  ScriptedServer server([](const RecordedRequest& r) {
    if (r.path.ends_with("/blob")) return bytes("bytes");
    return ScriptedResponse::json(R"({"id":"w","label":"L"})");
  });
  clientFor(server.baseURL(), "").getWorkspace("w");
  clientFor(server.baseURL(), " a b").downloadDocument("d");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  // A server drops the whitespace that ends a header line.
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer");
  EXPECT_EQ(requests[0].header("Accept"), "application/json");
  EXPECT_EQ(requests[0].path, "/api/v1/documents/workspaces/w");
  EXPECT_FALSE(requests[0].hasQuery);
  EXPECT_EQ(requests[1].header("Authorization"), "Bearer  a b");
  EXPECT_FALSE(requests[1].header("Accept").has_value());
  EXPECT_EQ(requests[1].path, "/api/v1/documents/documents/d/blob");
}

TEST(ResponseCheck, AcceptsOnlyTwoHundreds) {
  std::atomic<int> status{200};
  ScriptedServer server([&](const RecordedRequest&) { return ScriptedResponse::status(status); });
  auto client = clientFor(server);
  for (int code : {200, 201, 204, 299}) {
    status = code;
    EXPECT_NO_THROW(client.deleteDocument("d")) << code;
  }
  for (int code : {300, 304, 400, 401, 403, 404, 410, 500, 503}) {
    status = code;
    EXPECT_EQ(httpStatusOf([&] { client.deleteDocument("d"); }), code);
  }
}

TEST(ResponseCheck, NonHttpReplyIsInvalidResponse) {
  for (const char* raw : {"garbage\r\n\r\n", "SSH-2.0-OpenSSH_9.2\r\n"}) {
    ScriptedServer server([&](const RecordedRequest&) {
      ScriptedResponse r;
      r.raw = raw;
      return r;
    });
    try {
      clientFor(server).getFolder("f");
      ADD_FAILURE() << raw;
    } catch (const FoliumError& e) {
      EXPECT_EQ(e, FoliumError::invalidResponse()) << raw;
    }
  }
}

TEST(ResponseCheck, TransportAndDecodingErrorsKeepTheirTypes) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json(""); });
  EXPECT_THROW(clientFor(server).renameFolder("f", "x"), DecodingError);
  EXPECT_THROW(clientFor("http://127.0.0.1:1/").listWorkspaces(), platform::TransportError);
}

TEST(FoliumErrorValue, ComparesCaseAndStatus) {
  EXPECT_EQ(FoliumError::http(404), FoliumError::http(404));
  EXPECT_FALSE(FoliumError::http(404) == FoliumError::http(403));
  EXPECT_FALSE(FoliumError::http(404) == FoliumError::invalidResponse());
  EXPECT_EQ(FoliumError::missingDownloadURL().code(), 2);
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
      {"true", true},  {"TRUE", true},  {"True", true}, {"false", false},
      {"1", false},    {"yes", false},  {"", false},    {"truee", false},
  };
  for (const auto& [value, continues] : cases) {
    ScriptedServer server(PagedScript{{{R"([{"id":"1","label":"a"}])", value},
                                       {R"([{"id":"2","label":"b"}])", std::nullopt}}});
    auto workspaces = clientFor(server).listWorkspaces();
    EXPECT_EQ(workspaces.size(), continues ? 2u : 1u) << value;
    EXPECT_EQ(server.requestCount(), continues ? 2u : 1u) << value;
  }
}

TEST(ListingPaging, EmptyPageWithMoreDoesNotStopAndOrderIsKept) {
  ScriptedServer server(PagedScript{{{R"([{"id":"1","label":"a"}])", "true"},
                                     {"[]", "true"},
                                     {R"([{"id":"1","label":"a"},{"id":"0","label":"z"}])",
                                      std::nullopt}}});
  auto workspaces = clientFor(server).listWorkspaces();
  ASSERT_EQ(workspaces.size(), 3u);
  EXPECT_EQ(workspaces[1].id, "1");
  EXPECT_EQ(workspaces[2].id, "0");
  auto requests = server.requests();
  EXPECT_EQ(requests[0].query, "per_page=1000&page=1");
  EXPECT_EQ(requests[2].query, "per_page=1000&page=3");
}

TEST(ListingPaging, AFailureOnAnyPageFailsTheListing) {
  ScriptedServer server(PagedScript{{{R"([{"id":"1","label":"a"}])", "true"},
                                     {R"([{"id":"2","label":"b"}])", "true"}}});
  EXPECT_EQ(httpStatusOf([&] { clientFor(server).listWorkspaces(); }), 500);
}

TEST(ListingQuery, FiltersComeFirstAndOnlyWhenGiven) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json("[]"); });
  auto client = clientFor(server);
  client.listDocuments("w 1", std::nullopt);
  client.listDocuments("w", "f&g");
  client.listFolders(std::nullopt, "p");
  client.listFolders(std::nullopt, std::nullopt);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].path, "/api/v1/documents/documents");
  EXPECT_EQ(requests[0].query, "workspace_id=w%201&per_page=1000&page=1");
  EXPECT_EQ(requests[1].query, "workspace_id=w&documents_folder_id=f%26g&per_page=1000&page=1");
  EXPECT_EQ(requests[2].path, "/api/v1/documents/folders");
  EXPECT_EQ(requests[2].query, "documents_folder_id=p&per_page=1000&page=1");
  EXPECT_EQ(requests[3].query, "per_page=1000&page=1");
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

TEST(JsonBodies, MutationsSendExactlyTheirKeys) {
  ScriptedServer server([](const RecordedRequest& r) {
    return ScriptedResponse::json(r.path.find("folders") != std::string::npos ? kFolderJson
                                                                              : kDocumentJson);
  });
  auto client = clientFor(server);
  client.createFolder("w", std::nullopt, "Nouveau dossier");
  client.createFolder("w", "p", "x");
  client.moveDocument("d", std::nullopt);
  client.moveFolder("f", "t");
  client.renameDocument("d", " n\"é ");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 5u);
  for (const auto& r : requests) EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/api/v1/documents/folders");
  EXPECT_EQ(requests[0].body, R"({"name":"Nouveau dossier","workspace_id":"w"})");
  EXPECT_EQ(requests[1].body, R"({"name":"x","workspace_id":"w","documents_folder_id":"p"})");
  EXPECT_EQ(requests[2].method, "PATCH");
  EXPECT_EQ(requests[2].path, "/api/v1/documents/documents/d");
  EXPECT_EQ(requests[2].body, R"({"documents_folder_id":null})");
  EXPECT_EQ(requests[3].body, R"({"documents_folder_id":"t"})");
  EXPECT_EQ(requests[4].body, "{\"name\":\" n\\\"é \"}");
}

TEST(Deletion, SendsNoBodyNoContentTypeAndIgnoresTheAnswer) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json("not json"); });
  clientFor(server).deleteFolder("f");
  auto r = server.requests().at(0);
  EXPECT_EQ(r.method, "DELETE");
  EXPECT_EQ(r.path, "/api/v1/documents/folders/f");
  EXPECT_TRUE(r.body.empty());
  EXPECT_FALSE(r.header("Content-Type").has_value());
  EXPECT_FALSE(r.header("Content-Length").has_value() && r.header("Content-Length") != "0");
}

struct Upload {
  RecordedRequest request;
  std::string boundary;
  testing::ParsedMultipart body;
};

Upload lastUpload(const ScriptedServer& server) {
  Upload upload{server.requests().back(), {}, {}};
  auto boundary = testing::boundaryOf(upload.request.header("Content-Type").value_or(""));
  EXPECT_TRUE(boundary.has_value()) << upload.request.header("Content-Type").value_or("none");
  upload.boundary = boundary.value_or("");
  upload.body = testing::parseMultipart(upload.request.body, upload.boundary);
  EXPECT_TRUE(upload.body.valid) << upload.body.error;
  EXPECT_TRUE(upload.body.preamble.empty());
  EXPECT_TRUE(upload.body.epilogue.empty());
  return upload;
}

TEST(Upload, CreateSendsFieldsThenTheFile) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json(kDocumentJson); });
  auto client = clientFor(server);
  const std::string data("\0\r\n--binary\xff", 12);
  client.createDocument("w", std::nullopt, "Notes.MD", data);
  auto upload = lastUpload(server);
  EXPECT_EQ(upload.request.method, "POST");
  EXPECT_EQ(upload.request.path, "/api/v1/documents/documents");
  EXPECT_EQ(upload.request.header("Accept"), "application/json");
  ASSERT_EQ(upload.body.parts.size(), 2u);
  EXPECT_EQ(upload.body.parts[0].disposition, R"(form-data; name="workspace_id")");
  EXPECT_FALSE(upload.body.parts[0].contentType.has_value());
  EXPECT_EQ(upload.body.parts[0].body, "w");
  EXPECT_EQ(upload.body.parts[1].disposition,
            R"(form-data; name="uploaded_file"; filename="Notes.MD")");
  EXPECT_EQ(upload.body.parts[1].contentType, "text/markdown");
  EXPECT_EQ(upload.body.parts[1].body, data);

  client.createDocument("w", "f", "rapport annuel été.pdf", "");
  auto second = lastUpload(server);
  ASSERT_EQ(second.body.parts.size(), 3u);
  EXPECT_EQ(second.body.parts[1].disposition, R"(form-data; name="documents_folder_id")");
  EXPECT_EQ(second.body.parts[1].body, "f");
  EXPECT_EQ(second.body.parts[2].disposition,
            R"(form-data; name="uploaded_file"; filename="rapport annuel été.pdf")");
  EXPECT_EQ(second.body.parts[2].body, "");
  EXPECT_NE(second.boundary, upload.boundary);
}

TEST(Upload, UpdateSendsOnlyTheFileAndEscapesTheName) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json(kDocumentJson); });
  clientFor(server).updateDocumentContent("d", "a\"b\r\nX-Injected: 1\r\n.txt", "x");
  auto upload = lastUpload(server);
  EXPECT_EQ(upload.request.method, "PATCH");
  EXPECT_EQ(upload.request.path, "/api/v1/documents/documents/d");
  ASSERT_EQ(upload.body.parts.size(), 1u);
  EXPECT_EQ(upload.body.parts[0].disposition,
            R"(form-data; name="uploaded_file"; filename="a%22b%0D%0AX-Injected: 1%0D%0A.txt")");
  EXPECT_EQ(upload.body.parts[0].headers.size(), 2u);
  EXPECT_EQ(upload.body.parts[0].contentType, "text/plain");
}

TEST(Upload, TheWholeBodyMatchesWhatIsSent) {
  const std::string body = makeMultipartBody("Boundary-X", "n.md", "text/markdown", "data",
                                             {{"workspace_id", "w"}});
  EXPECT_EQ(body,
            "--Boundary-X\r\nContent-Disposition: form-data; name=\"workspace_id\"\r\n\r\nw\r\n"
            "--Boundary-X\r\nContent-Disposition: form-data; name=\"uploaded_file\"; "
            "filename=\"n.md\"\r\nContent-Type: text/markdown\r\n\r\ndata\r\n"
            "--Boundary-X--\r\n");
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json(kDocumentJson); });
  clientFor(server).createDocument("w", std::nullopt, "n.md", "data");
  auto upload = lastUpload(server);
  EXPECT_EQ(upload.request.body, makeMultipartBody(upload.boundary, "n.md", "text/markdown",
                                                   "data", {{"workspace_id", "w"}}));
  EXPECT_EQ(upload.request.header("Content-Length"), std::to_string(upload.request.body.size()));
}

TEST(Upload, BoundariesAreFreshUpperCaseUuids) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string boundary = makeBoundary();
    ASSERT_EQ(boundary.size(), 9u + 36u) << boundary;
    EXPECT_EQ(boundary.substr(0, 9), "Boundary-");
    for (std::size_t j = 9; j < boundary.size(); ++j) {
      const char c = boundary[j];
      const bool dash = j == 17 || j == 22 || j == 27 || j == 32;
      EXPECT_TRUE(dash ? c == '-' : ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
          << boundary;
    }
    EXPECT_TRUE(seen.insert(boundary).second);
  }
}

TEST(MimeType, UsesTheLastExtensionLowerCased) {
  const std::pair<const char*, const char*> cases[] = {
      {"notes.md", "text/markdown"},   {"Notes.MD", "text/markdown"},
      {"a.markdown", "text/markdown"}, {"a.mkdn", "text/markdown"},
      {"a.TXT", "text/plain"},         {"a.text", "text/plain"},
      {"r.pdf", "application/pdf"},    {"i.png", "image/png"},
      {"photo.JPEG", "image/jpeg"},    {"p.jpg", "image/jpeg"},
      {"page.htm", "text/html"},       {"d.json", "application/json"},
      {"t.csv", "text/csv"},           {"README", "application/octet-stream"},
      {"archive.tar.gz", "application/octet-stream"}, {"trailing.", "application/octet-stream"},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(mimeType(name), type) << name;
}

TEST(Download, FetchesByIdentifierWhateverTheRecordSays) {
  const std::string contents(3 << 20, '\x01');
  ScriptedServer server([&](const RecordedRequest&) {
    return bytes(contents);
  });
  FoliumDocument document{"a/b", "x.pdf", std::nullopt, "w", std::nullopt, std::nullopt,
                          std::nullopt};
  EXPECT_EQ(clientFor(server).download(document), contents);
  EXPECT_EQ(server.requests().at(0).path, "/api/v1/documents/documents/a/b/blob");
}

TEST(ChangeFeed, OneRequestWithCursorThenLimit) {
  ScriptedServer server([](const RecordedRequest&) {
    return ScriptedResponse::json(R"({"changes":[],"cursor":41,"has_more":true})");
  });
  auto page = clientFor(server).changes(0, 500);
  EXPECT_EQ(page.cursor, 41);
  EXPECT_TRUE(page.hasMore);
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].path, "/api/v1/documents/changes");
  EXPECT_EQ(server.requests()[0].query, "cursor=0&limit=500");
}

TEST(Search, SendsQueryThenLimitAndReturnsEveryHit) {
  ScriptedServer server([](const RecordedRequest&) {
    return ScriptedResponse::json(
        R"({"results":[{"entity_type":"Document","entity_id":"1","name":"a"},
                       {"entity_type":"Document","entity_id":"1","name":"a","page_number":2},
                       {"entity_type":"DocumentsFolder","entity_id":"2","name":"b"}],
            "total":3,"limit":1})");
  });
  auto hits = clientFor(server).search("rapport annuel", 1);
  EXPECT_EQ(hits.size(), 3u);
  EXPECT_EQ(server.requests()[0].path, "/api/v1/search");
  EXPECT_EQ(server.requests()[0].query, "q=rapport%20annuel&limit=1");
  clientFor(server).search("", 50);
  EXPECT_EQ(server.requests()[1].query, "q=&limit=50");
}

}  // namespace
}  // namespace folium

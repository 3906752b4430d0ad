#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <boost/json.hpp>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "tests/support/devserver.hpp"
#include "tests/support/process.hpp"
#include "tests/support/scripted_server.hpp"

namespace folium {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::ScriptedServer;

const std::string kRoot = "NSFileProviderRootContainerItemIdentifier";
const std::string kWorkingSet = "NSFileProviderWorkingSetContainerItemIdentifier";
const std::string kTrash = "NSFileProviderTrashContainerItemIdentifier";

// What `foliumctl fp` printed: one JSON object per call of the plug-in.
struct Transcript {
  int exitCode = -1;
  std::string err;
  std::vector<json::object> lines;

  std::vector<std::string> calls() const {
    std::vector<std::string> names;
    for (const auto& line : lines) names.emplace_back(line.at("call").as_string());
    return names;
  }
  // The first line of that call; an empty object when there is none.
  const json::object& line(const std::string& call) const {
    static const json::object kNone;
    for (const auto& line : lines) {
      if (line.at("call").as_string() == call) return line;
    }
    return kNone;
  }
  const json::object& completion() const { return line("completion"); }
  const json::object& item() const { return completion().at("item").as_object(); }
  const json::object& error(const std::string& call = "completion") const {
    return line(call).at("error").as_object();
  }
  std::vector<json::object> items(const std::string& call = "didEnumerateItems") const {
    std::vector<json::object> items;
    for (const auto& item : line(call).at("items").as_array()) items.push_back(item.as_object());
    return items;
  }
};

std::string text(const json::value& value) { return std::string(value.as_string()); }

std::vector<std::string> identifiers(const std::vector<json::object>& items) {
  std::vector<std::string> ids;
  for (const auto& item : items) ids.push_back(text(item.at("itemIdentifier")));
  return ids;
}

// The identifier of the item called `filename`, or "" when there is none.
std::string idNamed(const std::vector<json::object>& items, const std::string& filename) {
  for (const auto& item : items) {
    if (item.at("filename").as_string() == filename) return text(item.at("itemIdentifier"));
  }
  return "";
}

json::object progressLine(std::int64_t completed, std::int64_t total) {
  return {{"call", "progress"}, {"completed", completed}, {"total", total}};
}

// Requests as "METHOD path?query", in the order the server received them.
std::vector<std::string> requestLines(const ScriptedServer& server) {
  std::vector<std::string> lines;
  for (const auto& request : server.requests()) {
    lines.push_back(request.method + " " + request.target);
  }
  return lines;
}

// A user's private HOME with one drive whose stored profile points at `baseURL`; runs
// `foliumctl fp` for that drive.
class Drive {
 public:
  explicit Drive(const std::string& baseURL, const std::string& token = "test-token")
      : env_(dir_.isolatedEnv()) {
    fs::create_directory(dir_ / "tmp");
    env_["TMPDIR"] = (dir_ / "tmp").string();
    domain_ = save(baseURL, token);
  }

  // Stores a profile (replacing the drive's) and returns its domain identifier.
  std::string save(const std::string& baseURL, const std::string& token) {
    const fs::path file = dir_ / "drive.foliumprofile";
    testing::writeFile(
        file, json::serialize(json::object{
                  {"instance_url", baseURL}, {"token", token}, {"display_name", "Mon Drive"}}));
    auto saved = ctl({"store", "save", file.string()});
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    std::string domain = saved.out;
    while (!domain.empty() && domain.back() == '\n') domain.pop_back();
    return domain;
  }
  void forgetProfile() { EXPECT_EQ(ctl({"store", "remove", domain_}).exitCode, 0); }

  Transcript fp(std::vector<std::string> args) const {
    args.insert(args.begin(), {"fp", "--domain", domain_});
    const testing::ProcessResult result = ctl(args);
    Transcript transcript{result.exitCode, result.err, {}};
    std::istringstream out(result.out);
    for (std::string line; std::getline(out, line);) {
      try {
        transcript.lines.push_back(json::parse(line).as_object());
      } catch (const std::exception& e) {
        ADD_FAILURE() << "not a JSON object: " << line;
      }
    }
    return transcript;
  }
  testing::ProcessResult api(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--domain", domain_, "api"});
    return ctl(args);
  }
  testing::ProcessResult ctl(std::vector<std::string> args) const {
    args.insert(args.begin(), testing::programPath("foliumctl").string());
    return testing::runProcess(args, env_);
  }

  fs::path file(const std::string& name, const std::string& contents) const {
    testing::writeFile(dir_ / name, contents);
    return dir_ / name;
  }
  fs::path path(const std::string& name) const { return dir_ / name; }
  const std::string& env(const std::string& name) const { return env_.at(name); }
  const std::string& domain() const { return domain_; }

 private:
  testing::TempDir dir_;
  std::map<std::string, std::string> env_;
  std::string domain_;
};

// The reference server with its sample tree, and a drive on it.
class FpOnDevserver : public ::testing::Test {
 protected:
  FpOnDevserver() : server_({"--demo"}), drive_(server_.baseURL(), server_.token()) {}

  std::vector<json::object> list(const std::string& container) const {
    return drive_.fp({"ls", container}).items();
  }
  // Identifiers of the sample tree, found by name.
  std::string workspace(const std::string& name) const { return idNamed(list("@root"), name); }
  std::string child(const std::string& container, const std::string& name) const {
    return idNamed(list(container), name);
  }
  static std::string serverId(const std::string& identifier) { return identifier.substr(3); }

  testing::Devserver server_;
  Drive drive_;
};

// --- Listing -------------------------------------------------------------------------------

TEST_F(FpOnDevserver, RootListsTheWorkspacesAsReadOnlyContainers) {
  auto result = drive_.fp({"ls", "@root"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.calls(),
            (std::vector<std::string>{"didEnumerateItems", "finishEnumeratingUpToPage"}));
  EXPECT_TRUE(result.line("finishEnumeratingUpToPage").at("page").is_null());
  auto workspaces = json::parse(drive_.api({"workspaces"}).out).as_array();
  const auto items = result.items();
  ASSERT_EQ(items.size(), workspaces.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& record = workspaces[i].as_object();
    const auto& item = items[i];
    EXPECT_EQ(item.at("itemIdentifier"), json::value("ws:" + text(record.at("id"))));
    EXPECT_EQ(item.at("parentItemIdentifier"), json::value(kRoot));
    EXPECT_EQ(item.at("filename"), record.at("label"));
    EXPECT_EQ(item.at("capabilities"), json::value(3));
    EXPECT_TRUE(item.at("documentSize").is_null());
    EXPECT_EQ(item.at("contentType"), json::value("inode/directory"));
    EXPECT_EQ(item.at("itemVersion"), (json::object{{"contentVersion", record.at("updatedAt")},
                                                    {"metadataVersion", record.at("updatedAt")}}));
    EXPECT_EQ(item.at("fileSystemFlags"), json::value(7));
  }
}

TEST_F(FpOnDevserver, WorkspaceShowsItsTopLevelFoldersThenDocuments) {
  const std::string direction = workspace("Direction");
  ASSERT_FALSE(direction.empty());
  const auto items = list(direction);
  const std::string id = serverId(direction);
  auto folders = json::parse(drive_.api({"folders", "--workspace", id}).out).as_array();
  auto documents = json::parse(drive_.api({"documents", "--workspace", id}).out).as_array();
  std::vector<std::string> expected;
  for (const auto& f : folders) {
    if (!f.as_object().contains("documentsFolderId")) expected.push_back("fo:" + text(f.at("id")));
  }
  for (const auto& d : documents) {
    if (!d.as_object().contains("documentsFolderId")) expected.push_back("do:" + text(d.at("id")));
  }
  EXPECT_EQ(identifiers(items), expected);
  EXPECT_LT(expected.size(), folders.size() + documents.size()) << "the sample has nesting";
  for (const auto& item : items) EXPECT_EQ(item.at("parentItemIdentifier"), json::value(direction));

  const std::string comites = idNamed(items, "Comités");
  const auto inFolder = list(comites);
  EXPECT_FALSE(idNamed(inFolder, "2026").empty());
  EXPECT_FALSE(idNamed(inFolder, "Compte rendu réunion.md").empty());
  for (const auto& item : inFolder)
    EXPECT_EQ(item.at("parentItemIdentifier"), json::value(comites));
  const auto document = inFolder.back();
  EXPECT_EQ(document.at("capabilities"), json::value(47));
  EXPECT_EQ(document.at("documentSize"), json::value(1));
  EXPECT_EQ(document.at("contentType"), json::value("text/markdown"));
  EXPECT_EQ(document.at("fileSystemFlags"), json::value(6));
}

TEST(FpListing, ServiceContainersAndDocumentsListNothingWithoutARequest) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json("[]"); });
  Drive drive(server.baseURL());
  for (const char* container : {"@workingset", "@trash", "do:5"}) {
    auto result = drive.fp({"ls", container});
    EXPECT_EQ(result.exitCode, 0) << container;
    EXPECT_EQ(result.calls(),
              (std::vector<std::string>{"didEnumerateItems", "finishEnumeratingUpToPage"}));
    EXPECT_TRUE(result.items().empty());
  }
  EXPECT_EQ(server.requestCount(), 0u);
  // Any other form of identifier is the root.
  drive.fp({"ls", "shared:1"});
  EXPECT_EQ(requestLines(server),
            (std::vector<std::string>{"GET /api/v1/documents/workspaces?per_page=1000&page=1"}));
}

// Answers folder and document listings from the handlers given; records nothing else.
struct ListingServer {
  std::function<ScriptedResponse()> folders;
  std::function<ScriptedResponse()> documents;
  ScriptedServer server{[this](const RecordedRequest& request) {
    return request.path.find("/folders") != std::string::npos ? folders() : documents();
  }};
};

TEST(FpListing, AFolderListingAsksForBothListsOfThatFolder) {
  ListingServer s{[] { return ScriptedResponse::json(R"([{"id":"2","name":"Sous"}])"); },
                  [] { return ScriptedResponse::json(R"([{"id":"3","name":"a.txt"}])"); }};
  Drive drive(s.server.baseURL());
  auto result = drive.fp({"ls", "fo:1"});
  EXPECT_EQ(identifiers(result.items()), (std::vector<std::string>{"fo:2", "do:3"}));
  auto requests = requestLines(s.server);
  std::sort(requests.begin(), requests.end());
  EXPECT_EQ(requests,
            (std::vector<std::string>{
                "GET /api/v1/documents/documents?documents_folder_id=1&per_page=1000&page=1",
                "GET /api/v1/documents/folders?documents_folder_id=1&per_page=1000&page=1"}));
}

TEST(FpListing, TheFolderRequestsFailureWinsAndCancelsTheDocumentRequest) {
  std::mutex mutex;
  std::condition_variable changed;
  bool documentsArrived = false;
  ListingServer s;
  s.documents = [&] {
    {
      std::lock_guard lock(mutex);
      documentsArrived = true;
    }
    changed.notify_all();
    // A reply that keeps moving for minutes: only a cancellation ends it early.
    auto slow = ScriptedResponse::json("[" + std::string(400, ' ') + "]");
    slow.bodyByteInterval = std::chrono::milliseconds(500);
    return slow;
  };
  s.folders = [&] {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return documentsArrived; });
    return ScriptedResponse::status(500);
  };
  Drive drive(s.server.baseURL());
  auto result = drive.fp({"ls", "ws:1"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.calls(), (std::vector<std::string>{"finishEnumeratingWithError"}));
  EXPECT_EQ(result.error("finishEnumeratingWithError"),
            (json::object{{"domain", "FoliumCore.FoliumError"},
                          {"code", 0},
                          {"description", "http status 500"},
                          {"userInfo", {{"status", 500}}}}));
  EXPECT_EQ(s.server.requestCount(), 2u);
}

TEST(FpListing, TheFolderResultIsTakenFirstWhicheverFailsFirst) {
  std::mutex mutex;
  std::condition_variable changed;
  bool documentsAnswered = false;
  ListingServer s;
  s.documents = [&] {
    std::lock_guard lock(mutex);
    documentsAnswered = true;
    changed.notify_all();
    return ScriptedResponse::status(503);
  };
  s.folders = [&] {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(30), [&] { return documentsAnswered; });
    return ScriptedResponse::status(502);
  };
  Drive drive(s.server.baseURL());
  auto failed = drive.fp({"ls", "ws:1"});
  EXPECT_EQ(failed.error("finishEnumeratingWithError").at("userInfo"),
            (json::object{{"status", 502}}));

  // With the folders listed, the document request's failure is the listing's: no partial list.
  s.folders = [] { return ScriptedResponse::json(R"([{"id":"2","name":"Sous"}])"); };
  auto documentsFailed = drive.fp({"ls", "ws:1"});
  EXPECT_EQ(documentsFailed.calls(), (std::vector<std::string>{"finishEnumeratingWithError"}));
  EXPECT_EQ(documentsFailed.error("finishEnumeratingWithError").at("userInfo"),
            (json::object{{"status", 503}}));
}

// --- Lookup --------------------------------------------------------------------------------

TEST_F(FpOnDevserver, LookupAnswersContainersLocallyAndReadsEntities) {
  auto root = drive_.fp({"item", "@root", "--display-name", "Nom du domaine"});
  EXPECT_EQ(root.exitCode, 0);
  EXPECT_EQ(root.calls(), (std::vector<std::string>{"completion", "progress"}));
  EXPECT_EQ(root.lines.back(), progressLine(1, 1));
  EXPECT_EQ(root.item().at("itemIdentifier"), json::value(kRoot));
  EXPECT_EQ(root.item().at("parentItemIdentifier"), json::value(kRoot));
  EXPECT_EQ(root.item().at("filename"), json::value("Mon Drive")) << "the profile's name wins";
  EXPECT_EQ(root.item().at("capabilities"), json::value(1));

  for (const auto& container : {kWorkingSet, kTrash}) {
    auto result = drive_.fp({"item", container});
    EXPECT_EQ(result.item().at("itemIdentifier"), json::value(container));
    EXPECT_EQ(result.item().at("filename"), json::value(container));
    EXPECT_EQ(result.item().at("parentItemIdentifier"), json::value(kRoot));
  }
  auto other = drive_.fp({"item", "shared:7"});
  EXPECT_EQ(other.item().at("itemIdentifier"), json::value(kRoot));

  const std::string direction = workspace("Direction");
  const std::string comites = child(direction, "Comités");
  const std::string year = child(comites, "2026");
  const std::string nested = idNamed(list(year), "Ordre du jour février.txt");
  auto folder = drive_.fp({"item", comites});
  EXPECT_EQ(folder.calls(), (std::vector<std::string>{"completion", "progress"}));
  EXPECT_EQ(folder.item().at("parentItemIdentifier"), json::value(direction));
  auto document = drive_.fp({"item", nested});
  EXPECT_EQ(document.item().at("parentItemIdentifier"), json::value(year));
  EXPECT_EQ(document.item().at("documentSize"), json::value(1));
  EXPECT_EQ(document.item().at("contentType"), json::value("text/plain"));
  auto workspaceItem = drive_.fp({"item", direction});
  EXPECT_EQ(workspaceItem.item().at("filename"), json::value("Direction"));
}

TEST(FpProfiles, WithoutAProfileOnlyWhatNeedsNoServerSucceeds) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::status(200); });
  Drive drive(server.baseURL());
  drive.forgetProfile();
  const json::object notAuthenticated{
      {"domain", "NSFileProviderErrorDomain"}, {"code", -1000}, {"userInfo", json::object{}}};
  auto expectNotAuthenticated = [&](const Transcript& result, const std::string& call) {
    EXPECT_EQ(result.exitCode, 1);
    auto error = result.error(call);
    error.erase("description");
    EXPECT_EQ(error, notAuthenticated) << call;
  };

  auto root = drive.fp({"item", "@root", "--display-name", "Nom du domaine"});
  EXPECT_EQ(root.exitCode, 0);
  EXPECT_EQ(root.item().at("filename"), json::value("Nom du domaine"));
  // The domain's own name is the identifier only when none is given; an empty one stays empty.
  EXPECT_EQ(drive.fp({"item", "@root"}).item().at("filename"), json::value(drive.domain()));
  EXPECT_EQ(drive.fp({"item", "@root", "--display-name", ""}).item().at("filename"),
            json::value(""));

  auto listing = drive.fp({"ls", "@root"});
  EXPECT_EQ(listing.calls(), (std::vector<std::string>{"enumeratorError"}));
  expectNotAuthenticated(listing, "enumeratorError");

  auto lookup = drive.fp({"item", "ws:1"});
  EXPECT_EQ(lookup.calls(), (std::vector<std::string>{"completion", "progress"}));
  expectNotAuthenticated(lookup, "completion");
  expectNotAuthenticated(drive.fp({"fetch", "do:1"}), "completion");
  expectNotAuthenticated(drive.fp({"create", "ws:1", "x.txt"}), "completion");
  expectNotAuthenticated(
      drive.fp({"modify", "do:1", "--parent", "ws:1", "--name", "y.txt", "--changed", "filename"}),
      "completion");
  auto deletion = drive.fp({"delete", "do:1"});
  EXPECT_EQ(deletion.calls(), (std::vector<std::string>{"completion", "progress"}));
  expectNotAuthenticated(deletion, "completion");

  // A change the server never hears of needs no profile.
  auto untouched = drive.fp(
      {"modify", "do:1", "--parent", "ws:1", "--name", "y.txt", "--changed", "lastUsedDate"});
  EXPECT_EQ(untouched.exitCode, 0);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST(FpProfiles, AReplacedTokenIsUsedByTheNextRequest) {
  ScriptedServer server([](const RecordedRequest&) {
    return ScriptedResponse::json(R"({"id":"1","label":"Équipe"})");
  });
  Drive drive(server.baseURL(), "first-token");
  drive.fp({"item", "ws:1"});
  drive.save(server.baseURL(), "second-token");
  drive.fp({"item", "ws:1"});
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer first-token");
  EXPECT_EQ(requests[1].header("Authorization"), "Bearer second-token");
}

TEST(FpErrors, ClientFailuresKeepTheirOwnDomainsAndCodes) {
  ScriptedResponse notHttp;
  notHttp.raw = "hello\r\n\r\n";
  const struct {
    ScriptedResponse response;
    std::string domain;
    std::int64_t code;
    json::object userInfo;
  } cases[] = {
      // Not translated into the service's own codes (-1000, -1005).
      {ScriptedResponse::status(401), "FoliumCore.FoliumError", 0, {{"status", 401}}},
      {ScriptedResponse::status(404), "FoliumCore.FoliumError", 0, {{"status", 404}}},
      {notHttp, "FoliumCore.FoliumError", 1, {}},
      {ScriptedResponse::json(R"({"id":1,"label":"x"})"), "FoliumCore.DecodingError", 0, {}},
  };
  for (const auto& c : cases) {
    ScriptedServer server([&](const RecordedRequest&) { return c.response; });
    auto result = Drive(server.baseURL()).fp({"item", "ws:1"});
    EXPECT_EQ(result.exitCode, 1);
    const auto& error = result.error();
    EXPECT_EQ(error.at("domain"), json::value(c.domain));
    EXPECT_EQ(error.at("code"), json::value(c.code));
    EXPECT_EQ(error.at("userInfo"), json::value(c.userInfo));
    EXPECT_FALSE(error.at("description").as_string().empty());
    EXPECT_TRUE(result.err.empty()) << "the transcript says it all";
  }
  auto unreachable = Drive("http://127.0.0.1:1/").fp({"item", "ws:1"});
  EXPECT_EQ(unreachable.error().at("domain"), json::value("FoliumCore.TransportError"));
  EXPECT_EQ(unreachable.error().at("code"), json::value(7));  // could not connect

  auto notAnAddress = Drive("localhost:8080").fp({"item", "ws:1"});
  EXPECT_EQ(notAnAddress.error().at("domain"), json::value("FoliumCore.InvalidAddressError"));
}

// --- Content fetch -------------------------------------------------------------------------

TEST_F(FpOnDevserver, FetchWritesAPrivateFileAndReportsTheDownloadedSize) {
  const std::string report = child(workspace("Direction"), "Rapport annuel 2025.pdf");
  auto first = drive_.fp({"fetch", report});
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(first.calls(), (std::vector<std::string>{"progress", "completion"}));
  EXPECT_EQ(first.lines.front(), progressLine(100, 100));
  const fs::path file = text(first.completion().at("url"));
  EXPECT_TRUE(file.is_absolute());
  EXPECT_EQ(file.parent_path().parent_path(), fs::path(drive_.env("TMPDIR")));
  struct stat fileStatus {
  }, folderStatus{};
  ASSERT_EQ(::stat(file.c_str(), &fileStatus), 0);
  ASSERT_EQ(::stat(file.parent_path().c_str(), &folderStatus), 0);
  EXPECT_EQ(fileStatus.st_mode & 0777, 0600u);
  EXPECT_EQ(folderStatus.st_mode & 0777, 0700u);

  const std::string contents = drive_.api({"download", serverId(report)}).out;
  EXPECT_EQ(testing::readFile(file), contents);
  EXPECT_EQ(first.item().at("documentSize"), json::value(contents.size()));
  EXPECT_EQ(first.item().at("contentType"), json::value("application/pdf"));
  EXPECT_EQ(first.item().at("parentItemIdentifier"), json::value(workspace("Direction")));

  auto second = drive_.fp({"fetch", report});
  EXPECT_NE(second.completion().at("url"), first.completion().at("url"));
  EXPECT_EQ(testing::readFile(text(second.completion().at("url"))), contents);

  auto gone = drive_.fp({"fetch", "do:999999"});
  EXPECT_EQ(gone.calls(), (std::vector<std::string>{"completion"}));
  EXPECT_EQ(gone.error().at("userInfo"), (json::object{{"status", 404}}));
}

TEST(FpFetch, OnlyDocumentsHaveContents) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::status(500); });
  Drive drive(server.baseURL());
  for (const char* identifier : {"fo:1", "ws:1", "@root", "@workingset", "@trash", "x:1"}) {
    auto result = drive.fp({"fetch", identifier});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.calls(), (std::vector<std::string>{"completion"})) << identifier;
    EXPECT_EQ(result.error().at("domain"), json::value("NSFileProviderErrorDomain"));
    EXPECT_EQ(result.error().at("code"), json::value(-1005)) << identifier;
    EXPECT_TRUE(result.completion().at("url").is_null());
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

// --- Creation ------------------------------------------------------------------------------

TEST_F(FpOnDevserver, CreatedDocumentsAndFoldersLandOnTheServer) {
  const std::string direction = workspace("Direction");
  const std::string comites = child(direction, "Comités");
  const fs::path contents = drive_.file("budget.txt", "Budget 2026\n");

  auto document = drive_.fp({"create", direction, "Budget.txt", "--contents", contents.string()});
  EXPECT_EQ(document.exitCode, 0) << document.err;
  EXPECT_EQ(document.calls(), (std::vector<std::string>{"progress", "completion"}));
  EXPECT_EQ(document.lines.front(), progressLine(100, 100));
  EXPECT_EQ(document.item().at("parentItemIdentifier"), json::value(direction));
  EXPECT_EQ(document.item().at("filename"), json::value("Budget.txt"));
  EXPECT_EQ(document.item().at("documentSize"), json::value(12));
  EXPECT_EQ(document.completion().at("remainingFields"), json::array());
  EXPECT_EQ(document.completion().at("shouldFetchContent"), json::value(false));
  const std::string created = text(document.item().at("itemIdentifier"));
  ASSERT_TRUE(created.starts_with("do:"));
  EXPECT_EQ(drive_.api({"download", serverId(created)}).out, "Budget 2026\n");
  EXPECT_EQ(child(direction, "Budget.txt"), created);

  // No contents file: an empty document.
  auto empty = drive_.fp({"create", comites, "vide.md"});
  EXPECT_EQ(empty.item().at("documentSize"), json::value(0));
  EXPECT_EQ(drive_.api({"download", serverId(text(empty.item().at("itemIdentifier")))}).out, "");

  for (const std::vector<std::string>& how :
       {std::vector<std::string>{"--folder"}, {"--content-type", "inode/directory"}}) {
    std::vector<std::string> args{"create", comites, "Sous-dossier " + how.front()};
    args.insert(args.end(), how.begin(), how.end());
    auto folder = drive_.fp(args);
    ASSERT_EQ(folder.exitCode, 0) << json::serialize(folder.completion());
    const std::string id = text(folder.item().at("itemIdentifier"));
    ASSERT_TRUE(id.starts_with("fo:")) << id;
    EXPECT_EQ(folder.item().at("parentItemIdentifier"), json::value(comites));
    auto record = json::parse(drive_.api({"folder", serverId(id)}).out).as_object();
    EXPECT_EQ(record.at("workspaceId"), json::value(serverId(direction)));
    EXPECT_EQ(record.at("documentsFolderId"), json::value(serverId(comites)));
  }
  auto typed = drive_.fp({"create", comites, "notes", "--content-type", "text/plain"});
  EXPECT_TRUE(text(typed.item().at("itemIdentifier")).starts_with("do:"));
}

// Answers a folder read with a folder of workspace 3 (or of none for folder 0), and every
// creation with a record named after the request.
ScriptedResponse creationServer(const RecordedRequest& request) {
  if (request.method == "GET" && request.path == "/api/v1/documents/folders/7") {
    return ScriptedResponse::json(R"({"id":"7","name":"F","workspace_id":"3"})");
  }
  if (request.method == "GET" && request.path == "/api/v1/documents/folders/0") {
    return ScriptedResponse::json(R"({"id":"0","name":"Orphelin"})");
  }
  if (request.path == "/api/v1/documents/folders") {
    return ScriptedResponse::json(R"({"id":"40","name":"N","workspace_id":"3"})", 201);
  }
  return ScriptedResponse::json(R"({"id":"50","name":"n.txt","workspace_id":"3"})", 201);
}

TEST(FpCreate, InAFolderItsWorkspaceIsReadFirst) {
  ScriptedServer server(creationServer);
  Drive drive(server.baseURL());
  const fs::path contents = drive.file("n.txt", "abc");
  auto inFolder = drive.fp({"create", "fo:7", "n.txt", "--contents", contents.string()});
  EXPECT_EQ(inFolder.exitCode, 0) << inFolder.err;
  auto atTop = drive.fp({"create", "ws:3", "n.txt", "--contents", contents.string()});
  EXPECT_EQ(atTop.item().at("parentItemIdentifier"), json::value("ws:3"));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method + " " + requests[0].path, "GET /api/v1/documents/folders/7");
  EXPECT_EQ(requests[1].method + " " + requests[1].path, "POST /api/v1/documents/documents");
  EXPECT_NE(requests[1].body.find("name=\"documents_folder_id\"\r\n\r\n7\r\n"), std::string::npos);
  EXPECT_NE(requests[1].body.find("name=\"workspace_id\"\r\n\r\n3\r\n"), std::string::npos);
  EXPECT_EQ(requests[2].method + " " + requests[2].path, "POST /api/v1/documents/documents");
  EXPECT_EQ(requests[2].body.find("documents_folder_id"), std::string::npos);
}

TEST(FpCreate, NothingIsCreatedOutsideAWorkspace) {
  ScriptedServer server(creationServer);
  Drive drive(server.baseURL());
  for (const char* parent : {"@root", "do:5", "@trash", "x:1", "fo:0"}) {
    auto result = drive.fp({"create", parent, "Dossier", "--folder"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.calls(), (std::vector<std::string>{"completion"})) << parent;
    EXPECT_EQ(result.error().at("domain"), json::value("NSCocoaErrorDomain"));
    EXPECT_EQ(result.error().at("code"), json::value(3328));
  }
  // Only the folder without a workspace was read.
  EXPECT_EQ(requestLines(server), (std::vector<std::string>{"GET /api/v1/documents/folders/0"}));
}

TEST(FpCreate, AContentsFileThatCannotBeReadFailsAndSendsNothing) {
  ScriptedServer server(creationServer);
  Drive drive(server.baseURL());
  fs::create_directory(drive.path("a-folder"));
  const struct {
    fs::path file;
    int errnoValue;
  } cases[] = {{drive.path("missing.txt"), ENOENT}, {drive.path("a-folder"), EISDIR}};
  for (const auto& c : cases) {
    auto result = drive.fp({"create", "ws:3", "n.txt", "--contents", c.file.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.error().at("domain"), json::value("NSPOSIXErrorDomain"));
    EXPECT_EQ(result.error().at("code"), json::value(c.errnoValue));
    EXPECT_NE(std::string(result.error().at("description").as_string()).find(c.file.string()),
              std::string::npos);
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

// --- Modification --------------------------------------------------------------------------

// Answers every request with the record of document 5 as it is after all changes.
ScriptedResponse documentServer(const RecordedRequest&) {
  return ScriptedResponse::json(
      R"({"id":"5","name":"Nouveau.md","documents_folder_id":"8","workspace_id":"2",)"
      R"("updated_at":"2026-03-01T00:00:00Z"})");
}

std::vector<std::string> requestSummaries(const ScriptedServer& server) {
  std::vector<std::string> lines;
  for (const auto& request : server.requests()) {
    std::string line = request.method + " " + request.path;
    const auto type = request.header("Content-Type");
    if (type && type->starts_with("multipart/")) line += " multipart";
    if (type && *type == "application/json") line += " " + request.body;
    lines.push_back(line);
  }
  return lines;
}

TEST(FpModify, AppliesContentsThenNameThenParentAndRereads) {
  ScriptedServer server(documentServer);
  Drive drive(server.baseURL());
  const fs::path contents = drive.file("new.md", "# Nouveau\n");
  auto result =
      drive.fp({"modify", "do:5", "--parent", "fo:8", "--name", "Nouveau.md", "--changed",
                "contents,filename,parentItemIdentifier,tagData", "--contents", contents.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.calls(), (std::vector<std::string>{"progress", "completion"}));
  EXPECT_EQ(result.lines.front(), progressLine(100, 100));
  EXPECT_EQ(requestSummaries(server),
            (std::vector<std::string>{
                "PATCH /api/v1/documents/documents/5 multipart",
                R"(PATCH /api/v1/documents/documents/5 {"name":"Nouveau.md"})",
                R"(PATCH /api/v1/documents/documents/5 {"documents_folder_id":"8"})",
                "GET /api/v1/documents/documents/5"}));
  EXPECT_NE(server.requests()[0].body.find("# Nouveau\n"), std::string::npos);
  EXPECT_EQ(result.item().at("itemIdentifier"), json::value("do:5"));
  EXPECT_EQ(result.item().at("parentItemIdentifier"), json::value("fo:8"));
  EXPECT_EQ(result.item().at("documentSize"), json::value(1));
  EXPECT_EQ(result.item().at("itemVersion").at("contentVersion"),
            json::value("2026-03-01T00:00:00Z"));
  EXPECT_EQ(result.completion().at("remainingFields"), json::array());
}

TEST(FpModify, MovesOutOfFoldersGoToTheTopOfTheWorkspace) {
  ScriptedServer server(documentServer);
  Drive drive(server.baseURL());
  for (const char* parent : {"ws:9", "@root"}) {
    drive.fp(
        {"modify", "fo:4", "--parent", parent, "--name", "F", "--changed", "parentItemIdentifier"});
  }
  EXPECT_EQ(
      requestSummaries(server),
      (std::vector<std::string>{R"(PATCH /api/v1/documents/folders/4 {"documents_folder_id":null})",
                                "GET /api/v1/documents/folders/4",
                                R"(PATCH /api/v1/documents/folders/4 {"documents_folder_id":null})",
                                "GET /api/v1/documents/folders/4"}));
}

TEST(FpModify, TheFirstFailingStepEndsTheChange) {
  ScriptedServer server([](const RecordedRequest& request) {
    if (request.body.find("documents_folder_id") != std::string::npos) {
      return ScriptedResponse::status(409);
    }
    return documentServer(request);
  });
  Drive drive(server.baseURL());
  auto result = drive.fp({"modify", "do:5", "--parent", "fo:8", "--name", "Nouveau.md", "--changed",
                          "filename,parentItemIdentifier"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.calls(), (std::vector<std::string>{"completion"}));
  EXPECT_TRUE(result.completion().at("item").is_null());
  EXPECT_EQ(result.error().at("userInfo"), (json::object{{"status", 409}}));
  EXPECT_EQ(server.requestCount(), 2u) << "renamed, the move refused, nothing read";
}

TEST(FpModify, ContentsAreUploadedOnlyFromAFileThatWasRead) {
  ScriptedServer server(documentServer);
  Drive drive(server.baseURL());
  // The contents bit without a file: the contents stay as they are.
  auto noFile = drive.fp({"modify", "do:5", "--parent", "fo:8", "--name", "Nouveau.md", "--changed",
                          "contents,filename"});
  EXPECT_EQ(noFile.exitCode, 0);
  EXPECT_EQ(
      requestSummaries(server),
      (std::vector<std::string>{R"(PATCH /api/v1/documents/documents/5 {"name":"Nouveau.md"})",
                                "GET /api/v1/documents/documents/5"}));

  // A file that cannot be read: nothing at all is sent, not even the rename.
  auto unreadable =
      drive.fp({"modify", "do:5", "--parent", "fo:8", "--name", "Autre.md", "--changed",
                "contents,filename", "--contents", drive.path("missing.md").string()});
  EXPECT_EQ(unreadable.exitCode, 1);
  EXPECT_EQ(unreadable.calls(), (std::vector<std::string>{"completion"}));
  EXPECT_EQ(unreadable.error().at("domain"), json::value("NSPOSIXErrorDomain"));
  EXPECT_EQ(unreadable.error().at("code"), json::value(ENOENT));
  EXPECT_EQ(server.requestCount(), 2u);
}

TEST(FpModify, ChangesTheServerDoesNotHoldAreAcknowledgedAsPassedIn) {
  ScriptedServer server(documentServer);
  Drive drive(server.baseURL());
  auto dates = drive.fp({"modify", "do:5", "--parent", "fo:1", "--name", "Ancien.md", "--changed",
                         "lastUsedDate,tagData,favoriteRank"});
  EXPECT_EQ(dates.exitCode, 0);
  EXPECT_EQ(dates.calls(), (std::vector<std::string>{"completion"})) << "progress not advanced";
  EXPECT_EQ(dates.item().at("itemIdentifier"), json::value("do:5"));
  EXPECT_EQ(dates.item().at("parentItemIdentifier"), json::value("fo:1"));
  EXPECT_EQ(dates.item().at("filename"), json::value("Ancien.md"));

  auto workspace = drive.fp(
      {"modify", "ws:2", "--parent", "@root", "--name", "Renommé", "--changed", "filename"});
  EXPECT_EQ(workspace.exitCode, 0);
  EXPECT_EQ(workspace.calls(), (std::vector<std::string>{"progress", "completion"}));
  EXPECT_EQ(workspace.item().at("itemIdentifier"), json::value("ws:2"));
  EXPECT_EQ(workspace.item().at("filename"), json::value("Renommé"));
  EXPECT_EQ(server.requestCount(), 0u);

  // Folders have no contents: only the read.
  drive.fp({"modify", "fo:4", "--parent", "ws:2", "--name", "F", "--changed", "contents",
            "--contents", drive.file("x", "x").string()});
  EXPECT_EQ(requestSummaries(server),
            (std::vector<std::string>{"GET /api/v1/documents/folders/4"}));
}

// --- Deletion ------------------------------------------------------------------------------

TEST_F(FpOnDevserver, DeletesDocumentsAndFoldersButNoContainer) {
  const std::string direction = workspace("Direction");
  const std::string roadmap = child(direction, "Feuille de route.md");
  auto deleted = drive_.fp({"delete", roadmap});
  EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
  EXPECT_EQ(deleted.calls(), (std::vector<std::string>{"completion", "progress"}));
  EXPECT_TRUE(deleted.completion().at("error").is_null());
  EXPECT_EQ(deleted.lines.back(), progressLine(1, 1));
  EXPECT_EQ(drive_.api({"document", serverId(roadmap)}).err, "foliumctl: http status 404\n");

  EXPECT_EQ(drive_.fp({"delete", child(direction, "Comités")}).exitCode, 0);
  EXPECT_TRUE(child(direction, "Comités").empty());

  for (const std::string& identifier :
       {direction, std::string("@root"), std::string("@workingset"), std::string("@trash")}) {
    auto refused = drive_.fp({"delete", identifier});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.calls(), (std::vector<std::string>{"completion", "progress"}));
    EXPECT_EQ(refused.error().at("code"), json::value(3328)) << identifier;
  }
  EXPECT_FALSE(workspace("Direction").empty());
}

// --- Anchors and changes -------------------------------------------------------------------

TEST_F(FpOnDevserver, ChangesSinceAnAnchorAreDeletionsAndFreshItems) {
  auto anchor = drive_.fp({"anchor"});
  EXPECT_EQ(anchor.calls(), (std::vector<std::string>{"completion"}));
  const std::string before = text(anchor.completion().at("anchor"));
  ASSERT_TRUE(before.starts_with("v4:"));
  EXPECT_EQ(drive_.fp({"changes", before}).calls(),
            (std::vector<std::string>{"finishEnumeratingChangesUpToSyncAnchor"}));

  const std::string direction = workspace("Direction");
  const std::string report = child(direction, "Rapport annuel 2025.pdf");
  const std::string roadmap = child(direction, "Feuille de route.md");
  ASSERT_EQ(drive_.api({"rename-document", serverId(report), "Rapport 2025.pdf"}).exitCode, 0);
  ASSERT_EQ(drive_.api({"delete-document", serverId(roadmap)}).exitCode, 0);

  auto changes = drive_.fp({"changes", before, "@trash"});
  EXPECT_EQ(changes.exitCode, 0) << changes.err;
  EXPECT_EQ(changes.calls(),
            (std::vector<std::string>{"didDeleteItemsWithIdentifiers", "didUpdateItems",
                                      "finishEnumeratingChangesUpToSyncAnchor"}));
  EXPECT_EQ(changes.line("didDeleteItemsWithIdentifiers").at("identifiers"),
            (json::array{json::value(roadmap)}));
  const auto updated = changes.items("didUpdateItems");
  ASSERT_EQ(updated.size(), 1u);
  EXPECT_EQ(updated[0].at("itemIdentifier"), json::value(report));
  EXPECT_EQ(updated[0].at("filename"), json::value("Rapport 2025.pdf"));
  EXPECT_EQ(updated[0].at("parentItemIdentifier"), json::value(direction));
  const auto& finish = changes.line("finishEnumeratingChangesUpToSyncAnchor");
  EXPECT_EQ(finish.at("moreComing"), json::value(false));
  EXPECT_EQ(finish.at("anchor"), drive_.fp({"anchor"}).completion().at("anchor"));
  EXPECT_NE(finish.at("anchor"), json::value(before));
}

TEST(FpChanges, AnUnreadableAnchorHasExpired) {
  ScriptedServer server([](const RecordedRequest&) {
    return ScriptedResponse::json(R"({"changes":[],"cursor":4,"has_more":false})");
  });
  Drive drive(server.baseURL());
  for (const char* anchor : {"v4:", "v3:1", "garbage", "v4:1x", "v4:1:2"}) {
    auto result = drive.fp({"changes", anchor});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.calls(), (std::vector<std::string>{"finishEnumeratingWithError"}));
    EXPECT_EQ(result.error("finishEnumeratingWithError").at("code"), json::value(-1002));
    EXPECT_EQ(result.error("finishEnumeratingWithError").at("domain"),
              json::value("NSFileProviderErrorDomain"));
  }
  EXPECT_EQ(server.requestCount(), 0u);
  auto tolerated = drive.fp({"changes", ":v4:+3"});
  EXPECT_EQ(tolerated.exitCode, 0);
  EXPECT_EQ(requestLines(server),
            (std::vector<std::string>{"GET /api/v1/documents/changes?cursor=3&limit=500"}));
}

// A change feed served from `pages` (by the cursor asked for) and entities answered by
// `entity` (by request path).
struct FeedServer {
  std::map<std::string, ScriptedResponse> pages;
  std::function<ScriptedResponse(const std::string& path)> entity = [](const std::string& path) {
    const std::string id = path.substr(path.rfind('/') + 1);
    if (path.find("/workspaces/") != std::string::npos) {
      return ScriptedResponse::json(R"({"id":")" + id + R"(","label":"W"})");
    }
    return ScriptedResponse::json(R"({"id":")" + id + R"(","name":"N","workspace_id":"1"})");
  };
  ScriptedServer server{[this](const RecordedRequest& request) {
    if (request.path.ends_with("/changes")) {
      const auto cursor = request.query.substr(7, request.query.find('&') - 7);
      const auto page = pages.find(cursor);
      return page == pages.end() ? ScriptedResponse::status(500) : page->second;
    }
    return entity(request.path);
  }};
};

std::string record(int id, const std::string& type, const std::string& entityId,
                   const std::string& action) {
  return R"({"id":)" + std::to_string(id) + R"(,"entity_type":")" + type + R"(","entity_id":")" +
         entityId + R"(","action":")" + action + R"("})";
}

ScriptedResponse page(const std::vector<std::string>& records, int cursor, bool hasMore) {
  std::string changes;
  for (const auto& r : records) changes += (changes.empty() ? "" : ",") + r;
  return ScriptedResponse::json(R"({"changes":[)" + changes + R"(],"cursor":)" +
                                std::to_string(cursor) + R"(,"has_more":)" +
                                (hasMore ? "true" : "false") + "}");
}

TEST(FpChanges, EachPageReportsDeletionsThenUpdatesUntilTheFeedFails) {
  FeedServer feed;
  feed.pages["0"] =
      page({record(1, "DocumentsFolder", "7", "deleted"), record(2, "Document", "5", "updated"),
            record(3, "Workspace", "3", "deleted"), record(4, "DocumentsFolder", "8", "created"),
            record(5, "Attachment", "9", "deleted"), record(6, "Workspace", "2", "renamed")},
           6, true);
  // The page after cursor 6 fails: what came before stays reported.
  Drive drive(feed.server.baseURL());
  auto result = drive.fp({"changes", "v4:0"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.calls(),
            (std::vector<std::string>{"didDeleteItemsWithIdentifiers", "didUpdateItems",
                                      "finishEnumeratingChangesUpToSyncAnchor"}));
  EXPECT_EQ(result.line("didDeleteItemsWithIdentifiers").at("identifiers"),
            (json::array{"fo:7", "ws:3", "do:9"}));
  EXPECT_EQ(identifiers(result.items("didUpdateItems")),
            (std::vector<std::string>{"do:5", "fo:8", "ws:2"}));
  EXPECT_EQ(result.items("didUpdateItems")[1].at("parentItemIdentifier"), json::value("ws:1"));
  EXPECT_EQ(result.lines.back(), (json::object{{"call", "finishEnumeratingChangesUpToSyncAnchor"},
                                               {"anchor", "v4:6"},
                                               {"moreComing", false}}));
  EXPECT_EQ(
      requestLines(feed.server),
      (std::vector<std::string>{
          "GET /api/v1/documents/changes?cursor=0&limit=500", "GET /api/v1/documents/documents/5",
          "GET /api/v1/documents/folders/8", "GET /api/v1/documents/workspaces/2",
          "GET /api/v1/documents/changes?cursor=6&limit=500"}));
}

TEST(FpChanges, OnlyAGoneEntityIsSkippedAnyOtherFailureRetriesThePage) {
  ScriptedResponse closed;
  closed.closeWithoutReply = true;
  const struct {
    ScriptedResponse failure;
    bool skipped;
  } cases[] = {
      {ScriptedResponse::status(404), true},
      {ScriptedResponse::status(410), true},
      {ScriptedResponse::status(403), true},
      {ScriptedResponse::status(500), false},
      {ScriptedResponse::status(429), false},
      {ScriptedResponse::status(401), false},
      {closed, false},
      {ScriptedResponse::json(R"({"id":2})"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failure.statusCode);
    FeedServer feed;
    feed.pages["10"] =
        page({record(11, "Document", "1", "updated"), record(12, "Document", "4", "deleted"),
              record(13, "Document", "2", "updated"), record(14, "Document", "3", "updated")},
             14, false);
    auto readable = feed.entity;
    feed.entity = [&, readable](const std::string& path) {
      return path.ends_with("/2") ? c.failure : readable(path);
    };
    Drive drive(feed.server.baseURL());
    auto result = drive.fp({"changes", "v4:10"});
    EXPECT_EQ(result.exitCode, 0);
    if (c.skipped) {
      EXPECT_EQ(identifiers(result.items("didUpdateItems")),
                (std::vector<std::string>{"do:1", "do:3"}));
      EXPECT_EQ(result.lines.back().at("anchor"), json::value("v4:14"));
    } else {
      // Nothing of the page, and the next enumeration starts from the same place.
      EXPECT_EQ(result.calls(),
                (std::vector<std::string>{"finishEnumeratingChangesUpToSyncAnchor"}));
      EXPECT_EQ(result.lines.back().at("anchor"), json::value("v4:10"));
      EXPECT_EQ(feed.server.requests().back().path, "/api/v1/documents/documents/2");
    }
  }
}

TEST(FpAnchor, TheCurrentAnchorIsTheEndOfTheWholeFeed) {
  FeedServer feed;
  feed.pages["0"] = page({record(1, "Document", "1", "deleted")}, 500, true);
  feed.pages["500"] = page({}, 730, false);
  Drive drive(feed.server.baseURL());
  auto result = drive.fp({"anchor", "fo:1"});
  EXPECT_EQ(result.completion(), (json::object{{"call", "completion"}, {"anchor", "v4:730"}}));
  EXPECT_EQ(requestLines(feed.server),
            (std::vector<std::string>{"GET /api/v1/documents/changes?cursor=0&limit=500",
                                      "GET /api/v1/documents/changes?cursor=500&limit=500"}));

  // A feed that cannot be read to its end gives the start of the feed, never an error.
  feed.pages.erase("500");
  auto failed = drive.fp({"anchor"});
  EXPECT_EQ(failed.exitCode, 0);
  EXPECT_EQ(failed.completion().at("anchor"), json::value("v4:0"));
}

TEST(FpAnchor, AFeedThatSaysMoreButDoesNotMoveIsNotReadForever) {
  FeedServer feed;
  feed.pages["5"] = page({}, 5, true);
  feed.pages["0"] = page({}, 5, true);
  Drive drive(feed.server.baseURL());
  EXPECT_EQ(drive.fp({"anchor"}).completion().at("anchor"), json::value("v4:5"));
  EXPECT_EQ(drive.fp({"changes", "v4:5"}).lines.back().at("anchor"), json::value("v4:5"));
  EXPECT_EQ(feed.server.requestCount(), 3u);
}

// --- Output --------------------------------------------------------------------------------

TEST(FpOutput, IsUtf8WhateverBytesTheCommandLineCarries) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::status(500); });
  Drive drive(server.baseURL());
  const std::string replacement = "\xEF\xBF\xBD";
  // Each line must parse as JSON, which takes valid UTF-8 only (Drive::fp reports any that
  // does not). A stray byte and a cut-short sequence each become one U+FFFD, a surrogate one
  // per byte; a well-formed character stays.
  auto anchor = drive.fp({"changes", std::string("v4:\xff") + "1"});
  EXPECT_EQ(anchor.error("finishEnumeratingWithError").at("code"), json::value(-1002));
  EXPECT_NE(text(anchor.error("finishEnumeratingWithError").at("description"))
                .find("v4:" + replacement + "1"),
            std::string::npos);
  auto renamed = drive.fp({"modify", "ws:1", "--parent", "@root", "--name",
                           "Caf\xe9 \xe2\x82!\xed\xa0\x80 \xc3\xa9", "--changed", "filename"});
  EXPECT_EQ(renamed.exitCode, 0);
  EXPECT_EQ(renamed.item().at("filename"),
            json::value("Caf" + replacement + " " + replacement + "!" + replacement + replacement +
                        replacement + " \xc3\xa9"));
  EXPECT_EQ(server.requestCount(), 0u);
}

// --- Usage ---------------------------------------------------------------------------------

TEST(FpUsage, BadArgumentsAreNamedAndExitTwo) {
  Drive drive("http://127.0.0.1:1/");
  const struct {
    std::vector<std::string> args;
    std::string named;
  } cases[] = {
      {{"modify", "do:1", "--parent", "ws:1", "--name", "n", "--changed", "filename,colour"},
       "colour"},
      {{"ls", "@desk"}, "@desk"},
      {{"create", "ws:1", "n", "--folder", "--content-type", "text/plain"}, "--folder"},
      {{"item"}, "ID"},
      {{"create", "ws:1", "n", "--contents", ""}, "--contents"},
  };
  for (const auto& c : cases) {
    auto result = drive.fp(c.args);
    EXPECT_EQ(result.exitCode, 2) << c.args[0];
    EXPECT_NE(result.err.find(c.named), std::string::npos) << result.err;
  }
  // Without --domain the one stored drive is served; with none stored, the option is asked for.
  auto onlyDrive = drive.ctl({"fp", "item", "@root"});
  EXPECT_EQ(onlyDrive.exitCode, 0) << onlyDrive.err;
  EXPECT_NE(onlyDrive.out.find("\"Mon Drive\""), std::string::npos) << onlyDrive.out;
  drive.forgetProfile();
  auto noDomain = drive.ctl({"fp", "item", "@root"});
  EXPECT_EQ(noDomain.exitCode, 2);
  EXPECT_NE(noDomain.err.find("--domain"), std::string::npos) << noDomain.err;
}

}  // namespace
}  // namespace folium

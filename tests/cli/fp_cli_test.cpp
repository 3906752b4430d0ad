#include <gtest/gtest.h>
#include <sys/stat.h>

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
using Lines = std::vector<std::string>;

const std::string kRoot = "NSFileProviderRootContainerItemIdentifier";
const std::string kWorkingSet = "NSFileProviderWorkingSetContainerItemIdentifier";
const std::string kTrash = "NSFileProviderTrashContainerItemIdentifier";

std::string text(const json::value& value) { return std::string(value.as_string()); }

// The words of `line`, split at spaces.
Lines words(const std::string& line) {
  Lines words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// What `foliumctl fp` printed: one JSON object per call of the plug-in.
struct Transcript {
  int exitCode = -1;
  std::string err;
  std::vector<json::object> lines;

  // The calls made, separated by spaces, with the progress as "progress:done/total".
  std::string calls() const {
    std::string names;
    for (const auto& line : lines) {
      names += (names.empty() ? "" : " ") + text(line.at("call"));
      if (line.contains("completed")) {
        names +=
            ":" + json::serialize(line.at("completed")) + "/" + json::serialize(line.at("total"));
      }
    }
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
  // The error as "domain code", followed by its user info unless that is empty.
  std::string failure(const std::string& call = "completion") const {
    const auto& e = error(call);
    const auto& info = e.at("userInfo").as_object();
    return text(e.at("domain")) + " " + json::serialize(e.at("code")) +
           (info.empty() ? "" : " " + json::serialize(info));
  }
  std::vector<json::object> items(const std::string& call = "didEnumerateItems") const {
    std::vector<json::object> items;
    for (const auto& item : line(call).at("items").as_array()) items.push_back(item.as_object());
    return items;
  }
};

// Expects `object` to hold each of `fields` with that value.
void expectFields(const json::object& object, const json::object& fields) {
  for (const auto& [key, value] : fields) {
    const json::value* found = object.if_contains(key);
    EXPECT_TRUE(found && *found == value)
        << key << ": " << (found ? json::serialize(*found) : "missing") << " in "
        << json::serialize(object);
  }
}

// The same with the fields written as JSON.
void expectJson(const json::object& object, std::string_view fields) {
  expectFields(object, json::parse(fields).as_object());
}

Lines identifiers(const std::vector<json::object>& items) {
  Lines ids;
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

unsigned mode(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 0777;
}

// Requests from the `from`th on, as "METHOD target" plus a JSON body or a multipart mark.
Lines requestLines(const ScriptedServer& server, std::size_t from = 0) {
  Lines lines;
  const auto requests = server.requests();
  for (std::size_t i = from; i < requests.size(); ++i) {
    std::string line = requests[i].method + " " + requests[i].target;
    const auto type = requests[i].header("Content-Type");
    if (type && type->starts_with("multipart/")) line += " multipart";
    if (type && *type == "application/json") line += " " + requests[i].body;
    lines.push_back(line);
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

  // Runs `foliumctl fp` with these arguments, or with the words of `line`.
  Transcript fp(const std::string& line) const { return fp(words(line)); }
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

// --- Against the reference server ----------------------------------------------------------

TEST_F(FpOnDevserver, ListsAndLooksUpWorkspacesFoldersAndDocumentsUnderTheirParents) {
  auto root = drive_.fp("ls @root");
  EXPECT_EQ(root.exitCode, 0) << root.err;
  EXPECT_EQ(root.calls(), "didEnumerateItems finishEnumeratingUpToPage");
  EXPECT_TRUE(root.line("finishEnumeratingUpToPage").at("page").is_null());
  auto workspaces = json::parse(drive_.api({"workspaces"}).out).as_array();
  ASSERT_EQ(root.items().size(), workspaces.size());
  for (std::size_t i = 0; i < workspaces.size(); ++i) {
    const auto& record = workspaces[i].as_object();
    const json::object version{{"contentVersion", record.at("updatedAt")},
                               {"metadataVersion", record.at("updatedAt")}};
    expectFields(root.items()[i], {{"itemIdentifier", "ws:" + text(record.at("id"))},
                                   {"parentItemIdentifier", kRoot},
                                   {"filename", record.at("label")},
                                   {"itemVersion", version}});
  }

  // A workspace shows its top-level folders, then its top-level documents.
  const std::string direction = workspace("Direction");
  ASSERT_FALSE(direction.empty());
  const auto items = list(direction);
  const std::string id = serverId(direction);
  auto folders = json::parse(drive_.api({"folders", "--workspace", id}).out).as_array();
  auto documents = json::parse(drive_.api({"documents", "--workspace", id}).out).as_array();
  Lines expected;
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
  const std::string year = idNamed(inFolder, "2026");
  EXPECT_FALSE(year.empty());
  for (const auto& item : inFolder) {
    EXPECT_EQ(item.at("parentItemIdentifier"), json::value(comites));
  }
  expectJson(inFolder.back(),
             R"({"filename":"Compte rendu réunion.md","capabilities":47,)"
             R"("documentSize":1,"contentType":"text/markdown","fileSystemFlags":6})");

  // Looked up one by one, each is read from the server with the same parent.
  const std::string nested = idNamed(list(year), "Ordre du jour février.txt");
  EXPECT_EQ(drive_.fp({"item", comites}).calls(), "completion progress:1/1");
  expectJson(drive_.fp({"item", direction}).item(), R"({"filename":"Direction"})");
  expectFields(drive_.fp({"item", comites}).item(), {{"parentItemIdentifier", direction}});
  expectFields(drive_.fp({"item", nested}).item(),
               {{"parentItemIdentifier", year}, {"contentType", "text/plain"}});
}

TEST_F(FpOnDevserver, FetchWritesAFreshPrivateFileEachTimeAndReportsTheDownloadedSize) {
  const std::string report = child(workspace("Direction"), "Rapport annuel 2025.pdf");
  auto first = drive_.fp({"fetch", report});
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(first.calls(), "progress:100/100 completion");
  const fs::path file = text(first.completion().at("url"));
  EXPECT_EQ(file.parent_path().parent_path(), drive_.path("tmp"));
  EXPECT_EQ(mode(file), 0600u);
  EXPECT_EQ(mode(file.parent_path()), 0700u);

  const std::string contents = drive_.api({"download", serverId(report)}).out;
  EXPECT_EQ(testing::readFile(file), contents);
  expectFields(first.item(), {{"documentSize", contents.size()},
                              {"contentType", "application/pdf"},
                              {"parentItemIdentifier", workspace("Direction")}});

  auto second = drive_.fp({"fetch", report});
  EXPECT_NE(second.completion().at("url"), first.completion().at("url"));
  EXPECT_EQ(testing::readFile(text(second.completion().at("url"))), contents);

  auto gone = drive_.fp("fetch do:999999");
  EXPECT_EQ(gone.calls(), "completion");
  EXPECT_EQ(gone.failure(), R"(FoliumCore.FoliumError 0 {"status":404})");
}

TEST_F(FpOnDevserver, CreatedAndDeletedDocumentsAndFoldersLandOnTheServer) {
  const std::string direction = workspace("Direction");
  const std::string comites = child(direction, "Comités");
  const fs::path contents = drive_.file("budget.txt", "Budget 2026\n");

  auto document = drive_.fp({"create", direction, "Budget.txt", "--contents", contents.string()});
  EXPECT_EQ(document.exitCode, 0) << document.err;
  EXPECT_EQ(document.calls(), "progress:100/100 completion");
  expectJson(document.completion(), R"({"remainingFields":[],"shouldFetchContent":false})");
  expectFields(
      document.item(),
      {{"parentItemIdentifier", direction}, {"filename", "Budget.txt"}, {"documentSize", 12}});
  const std::string created = text(document.item().at("itemIdentifier"));
  ASSERT_TRUE(created.starts_with("do:"));
  EXPECT_EQ(drive_.api({"download", serverId(created)}).out, "Budget 2026\n");
  EXPECT_EQ(child(direction, "Budget.txt"), created);

  // No contents file: an empty document.
  auto empty = drive_.fp({"create", comites, "vide.md"});
  EXPECT_EQ(empty.item().at("documentSize"), json::value(0));
  EXPECT_EQ(drive_.api({"download", serverId(text(empty.item().at("itemIdentifier")))}).out, "");

  for (const Lines& how : {Lines{"--folder"}, Lines{"--content-type", "inode/directory"}}) {
    Lines args{"create", comites, "Sous-dossier " + how.front()};
    args.insert(args.end(), how.begin(), how.end());
    auto folder = drive_.fp(args);
    ASSERT_EQ(folder.exitCode, 0) << json::serialize(folder.completion());
    const std::string id = text(folder.item().at("itemIdentifier"));
    ASSERT_TRUE(id.starts_with("fo:")) << id;
    EXPECT_EQ(folder.item().at("parentItemIdentifier"), json::value(comites));
    expectFields(json::parse(drive_.api({"folder", serverId(id)}).out).as_object(),
                 {{"workspaceId", serverId(direction)}, {"documentsFolderId", serverId(comites)}});
  }
  auto typed = drive_.fp({"create", comites, "notes", "--content-type", "text/plain"});
  EXPECT_TRUE(text(typed.item().at("itemIdentifier")).starts_with("do:"));

  auto deleted = drive_.fp({"delete", created});
  EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
  EXPECT_EQ(deleted.calls(), "completion progress:1/1");
  EXPECT_TRUE(deleted.completion().at("error").is_null());
  EXPECT_EQ(drive_.api({"document", serverId(created)}).err, "foliumctl: http status 404\n");
  EXPECT_EQ(drive_.fp({"delete", comites}).exitCode, 0);
  EXPECT_TRUE(child(direction, "Comités").empty());
}

TEST_F(FpOnDevserver, ChangesSinceAnAnchorAreDeletionsAndFreshItems) {
  auto anchor = drive_.fp("anchor");
  EXPECT_EQ(anchor.calls(), "completion");
  const std::string before = text(anchor.completion().at("anchor"));
  ASSERT_TRUE(before.starts_with("v4:"));
  EXPECT_EQ(drive_.fp({"changes", before}).calls(), "finishEnumeratingChangesUpToSyncAnchor");

  const std::string direction = workspace("Direction");
  const std::string report = child(direction, "Rapport annuel 2025.pdf");
  const std::string roadmap = child(direction, "Feuille de route.md");
  ASSERT_EQ(drive_.api({"rename-document", serverId(report), "Rapport 2025.pdf"}).exitCode, 0);
  ASSERT_EQ(drive_.api({"delete-document", serverId(roadmap)}).exitCode, 0);

  auto changes = drive_.fp({"changes", before, "@trash"});
  EXPECT_EQ(changes.exitCode, 0) << changes.err;
  EXPECT_EQ(changes.calls(),
            "didDeleteItemsWithIdentifiers didUpdateItems finishEnumeratingChangesUpToSyncAnchor");
  EXPECT_EQ(changes.line("didDeleteItemsWithIdentifiers").at("identifiers"),
            (json::array{json::value(roadmap)}));
  const auto updated = changes.items("didUpdateItems");
  ASSERT_EQ(updated.size(), 1u);
  expectFields(updated[0], {{"itemIdentifier", report},
                            {"filename", "Rapport 2025.pdf"},
                            {"parentItemIdentifier", direction}});
  const auto& finish = changes.line("finishEnumeratingChangesUpToSyncAnchor");
  EXPECT_EQ(finish.at("moreComing"), json::value(false));
  EXPECT_EQ(finish.at("anchor"), drive_.fp("anchor").completion().at("anchor"));
  EXPECT_NE(finish.at("anchor"), json::value(before));
}

// --- Refusals and failures -----------------------------------------------------------------

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

TEST(FpRefusals, WhatCannotBeDoneFailsWithItsOwnErrorAndSendsNothing) {
  ScriptedServer server(creationServer);
  Drive drive(server.baseURL());
  Drive noProfile(server.baseURL());
  noProfile.forgetProfile();
  fs::create_directory(drive.path("dir"));
  const std::string missing = drive.path("missing.txt").string();
  const std::string dir = drive.path("dir").string();
  auto posix = [](int code) { return "NSPOSIXErrorDomain " + std::to_string(code); };
  const std::string notContents = "NSFileProviderErrorDomain -1005";
  const std::string unsupported = "NSCocoaErrorDomain 3328";
  const std::string notAuthenticated = "NSFileProviderErrorDomain -1000";
  const std::string modify = "modify do:5 --parent fo:8 --name A.md --changed contents,filename";
  const struct {
    const Drive& drive;
    std::string args;  // separated by spaces
    std::string calls;
    std::string failure;
    std::string named = "";  // in the description
  } cases[] = {
      // Only documents have contents.
      {drive, "fetch fo:1", "completion", notContents},
      {drive, "fetch ws:1", "completion", notContents},
      {drive, "fetch @root", "completion", notContents},
      {drive, "fetch @trash", "completion", notContents},
      // Nothing is created outside a workspace; folder 0 has none.
      {drive, "create @root D --folder", "completion", unsupported},
      {drive, "create @workingset D", "completion", unsupported},
      {drive, "create do:5 D --folder", "completion", unsupported},
      {drive, "create fo:0 D --folder", "completion", unsupported},
      // Containers are never deleted.
      {drive, "delete ws:1", "completion progress:1/1", unsupported},
      {drive, "delete @root", "completion progress:1/1", unsupported},
      {drive, "delete @trash", "completion progress:1/1", unsupported},
      // An unreadable anchor has expired.
      {drive, "changes v3:1", "finishEnumeratingWithError", "NSFileProviderErrorDomain -1002"},
      // A contents file that cannot be read: not even the rename is sent.
      {drive, "create ws:3 n.txt --contents " + missing, "completion", posix(ENOENT), missing},
      {drive, "create ws:3 n.txt --contents " + dir, "completion", posix(EISDIR), dir},
      {drive, modify + " --contents " + missing, "completion", posix(ENOENT), missing},
      // Without a profile, whatever needs the server.
      {noProfile, "ls @root", "enumeratorError", notAuthenticated},
      {noProfile, "item ws:1", "completion progress:1/1", notAuthenticated},
      {noProfile, "fetch do:1", "completion", notAuthenticated},
      {noProfile, "create ws:1 x.txt", "completion", notAuthenticated},
      {noProfile, "modify do:1 --parent ws:1 --name y --changed filename", "completion",
       notAuthenticated},
      {noProfile, "delete do:1", "completion progress:1/1", notAuthenticated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    auto result = c.drive.fp(c.args);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.calls(), c.calls);
    const std::string call = c.calls.substr(0, c.calls.find(' '));
    EXPECT_EQ(result.failure(call), c.failure);
    EXPECT_NE(text(result.error(call).at("description")).find(c.named), std::string::npos);
    for (const char* key : {"item", "url"}) {
      if (result.completion().contains(key)) {
        EXPECT_TRUE(result.completion().at(key).is_null());
      }
    }
  }

  // Without a profile, the root is still named: after the domain when no name is given.
  EXPECT_EQ(noProfile.fp("item @root --display-name Nom").item().at("filename"),
            json::value("Nom"));
  EXPECT_EQ(noProfile.fp("item @root").item().at("filename"), json::value(noProfile.domain()));
  EXPECT_EQ(noProfile.fp({"item", "@root", "--display-name", ""}).item().at("filename"),
            json::value(""));
  // And a change the server never hears of needs no profile.
  EXPECT_EQ(noProfile.fp("modify do:1 --parent ws:1 --name y --changed tagData").exitCode, 0);
  // Only the folder without a workspace was read.
  EXPECT_EQ(requestLines(server), (Lines{"GET /api/v1/documents/folders/0"}));
}

TEST(FpRefusals, ClientFailuresKeepTheirOwnDomainsAndCodes) {
  ScriptedResponse notHttp;
  notHttp.raw = "hello\r\n\r\n";
  const struct {
    ScriptedResponse response;
    std::string failure;
    std::string baseURL = "";  // else the server's
  } cases[] = {
      // Not translated into the service's own codes (-1000, -1005).
      {ScriptedResponse::status(401), R"(FoliumCore.FoliumError 0 {"status":401})"},
      {notHttp, "FoliumCore.FoliumError 1"},
      {ScriptedResponse::json(R"({"id":1,"label":"x"})"), "FoliumCore.DecodingError 0"},
      {{}, "FoliumCore.TransportError 7", "http://127.0.0.1:1/"},  // could not connect
      {{}, "FoliumCore.InvalidAddressError 0", "localhost:8080"},
  };
  for (const auto& c : cases) {
    ScriptedServer server([&](const RecordedRequest&) { return c.response; });
    auto result = Drive(c.baseURL.empty() ? server.baseURL() : c.baseURL).fp("item ws:1");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.failure(), c.failure);
    EXPECT_FALSE(result.error().at("description").as_string().empty());
    EXPECT_TRUE(result.err.empty()) << "the transcript says it all";
  }
}

// --- Listing -------------------------------------------------------------------------------

TEST(FpListing, TheRootAndServiceContainersAreAnsweredWithoutARequest) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::json("[]"); });
  Drive drive(server.baseURL());
  for (const char* container : {"@workingset", "@trash", "do:5"}) {
    auto result = drive.fp(std::string("ls ") + container);
    EXPECT_EQ(result.exitCode, 0) << container;
    EXPECT_EQ(result.calls(), "didEnumerateItems finishEnumeratingUpToPage");
    EXPECT_TRUE(result.items().empty());
  }
  auto root = drive.fp({"item", "@root", "--display-name", "Nom du domaine"});
  EXPECT_EQ(root.calls(), "completion progress:1/1");
  expectFields(root.item(), {{"itemIdentifier", kRoot},
                             {"parentItemIdentifier", kRoot},
                             {"filename", "Mon Drive"},  // the profile's name wins
                             {"capabilities", 1}});
  for (const auto& container : {kWorkingSet, kTrash}) {
    expectFields(
        drive.fp({"item", container}).item(),
        {{"itemIdentifier", container}, {"filename", container}, {"parentItemIdentifier", kRoot}});
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

// Answers folder and document listings from the handlers given. The folder request is
// answered only once the document request has arrived: asked one after the other, a listing
// fails with status 500.
struct ListingServer {
  std::function<ScriptedResponse()> folders;
  std::function<ScriptedResponse()> documents;
  std::mutex mutex;
  std::condition_variable changed;
  bool documentsArrived = false;
  ScriptedServer server{[this](const RecordedRequest& request) {
    std::unique_lock lock(mutex);
    if (request.path.find("/folders") == std::string::npos) {
      documentsArrived = true;
      changed.notify_all();
      lock.unlock();
      return documents();
    }
    const bool together =
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return documentsArrived; });
    documentsArrived = false;
    return together ? folders() : ScriptedResponse::status(500);
  }};
};

TEST(FpListing, AFolderListingAsksForBothListsOfThatFolderAtOnce) {
  ListingServer s;
  s.folders = [] { return ScriptedResponse::json(R"([{"id":"2","name":"Sous"}])"); };
  s.documents = [] { return ScriptedResponse::json(R"([{"id":"3","name":"a.txt"}])"); };
  Drive drive(s.server.baseURL());
  EXPECT_EQ(identifiers(drive.fp("ls fo:1").items()), (Lines{"fo:2", "do:3"}));
  auto requests = requestLines(s.server);
  std::sort(requests.begin(), requests.end());
  EXPECT_EQ(requests,
            (Lines{"GET /api/v1/documents/documents?documents_folder_id=1&per_page=1000&page=1",
                   "GET /api/v1/documents/folders?documents_folder_id=1&per_page=1000&page=1"}));
}

TEST(FpListing, AFailureOfEitherRequestIsTheListingsAndTheFolderFailureWins) {
  // A reply that keeps moving for minutes: only a cancellation ends it early.
  auto slow = ScriptedResponse::json("[" + std::string(400, ' ') + "]");
  slow.bodyByteInterval = std::chrono::milliseconds(500);
  const struct {
    ScriptedResponse folders;
    ScriptedResponse documents;
    int status;
  } cases[] = {
      {ScriptedResponse::status(500), slow, 500},  // the slow document request is cancelled
      {ScriptedResponse::status(502), ScriptedResponse::status(503), 502},
      // No partial list.
      {ScriptedResponse::json(R"([{"id":"2","name":"Sous"}])"), ScriptedResponse::status(503), 503},
  };
  ListingServer s;
  Drive drive(s.server.baseURL());
  for (const auto& c : cases) {
    s.folders = [&] { return c.folders; };
    s.documents = [&] { return c.documents; };
    auto result = drive.fp("ls ws:1");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.calls(), "finishEnumeratingWithError");
    EXPECT_EQ(result.failure("finishEnumeratingWithError"),
              "FoliumCore.FoliumError 0 {\"status\":" + std::to_string(c.status) + "}");
  }
  EXPECT_EQ(s.server.requestCount(), 6u);
}

// --- Requests that change the drive ----------------------------------------------------------

TEST(FpProfiles, AReplacedTokenIsUsedByTheNextRequest) {
  ScriptedServer server([](const RecordedRequest&) {
    return ScriptedResponse::json(R"({"id":"1","label":"Équipe"})");
  });
  Drive drive(server.baseURL(), "first-token");
  drive.fp("item ws:1");
  drive.save(server.baseURL(), "second-token");
  drive.fp("item ws:1");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer first-token");
  EXPECT_EQ(requests[1].header("Authorization"), "Bearer second-token");
}

TEST(FpCreate, InAFolderItsWorkspaceIsReadFirst) {
  ScriptedServer server(creationServer);
  Drive drive(server.baseURL());
  const std::string contents = drive.file("n.txt", "abc").string();
  EXPECT_EQ(drive.fp({"create", "fo:7", "n.txt", "--contents", contents}).exitCode, 0);
  auto atTop = drive.fp({"create", "ws:3", "n.txt", "--contents", contents});
  EXPECT_EQ(atTop.item().at("parentItemIdentifier"), json::value("ws:3"));
  EXPECT_EQ(requestLines(server),
            (Lines{"GET /api/v1/documents/folders/7", "POST /api/v1/documents/documents multipart",
                   "POST /api/v1/documents/documents multipart"}));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[1].body.find("name=\"documents_folder_id\"\r\n\r\n7\r\n"), std::string::npos);
  EXPECT_NE(requests[1].body.find("name=\"workspace_id\"\r\n\r\n3\r\n"), std::string::npos);
  EXPECT_EQ(requests[2].body.find("documents_folder_id"), std::string::npos);
}

// Answers every request with the record of document 5 as it is after all changes, but
// refuses a move into folder 99.
ScriptedResponse documentServer(const RecordedRequest& request) {
  if (request.body.find(R"("99")") != std::string::npos) return ScriptedResponse::status(409);
  return ScriptedResponse::json(
      R"({"id":"5","name":"Nouveau.md","documents_folder_id":"8","workspace_id":"2",)"
      R"("updated_at":"2026-03-01T00:00:00Z"})");
}

TEST(FpModify, SendsWhatTheServerHoldsContentsThenNameThenParentAndRereads) {
  ScriptedServer server(documentServer);
  Drive drive(server.baseURL());
  const std::string contents = drive.file("new.md", "# Nouveau\n").string();
  const std::string doc5 = "/api/v1/documents/documents/5";
  const std::string folder4 = "/api/v1/documents/folders/4";
  const std::string toTop = "PATCH " + folder4 + R"( {"documents_folder_id":null})";
  const struct {
    std::string args;  // item, parent, name, changed fields[, contents file]
    Lines requests;
    std::string item = "{}";  // fields of the item handed back
    std::string calls = "progress:100/100 completion";
  } cases[] = {
      {"do:5 fo:8 Nouveau.md contents,filename,parentItemIdentifier,tagData " + contents,
       {"PATCH " + doc5 + " multipart", "PATCH " + doc5 + R"( {"name":"Nouveau.md"})",
        "PATCH " + doc5 + R"( {"documents_folder_id":"8"})", "GET " + doc5},
       R"({"itemIdentifier":"do:5","parentItemIdentifier":"fo:8","documentSize":1,"itemVersion":)"
       R"({"contentVersion":"2026-03-01T00:00:00Z","metadataVersion":"2026-03-01T00:00:00Z"}})"},
      // Moves out of folders go to the top of the workspace.
      {"fo:4 ws:9 F parentItemIdentifier", {toTop, "GET " + folder4}},
      {"fo:4 @root F parentItemIdentifier", {toTop, "GET " + folder4}},
      // The contents bit without a file, or on a folder: the contents stay as they are.
      {"do:5 fo:8 Nouveau.md contents,filename",
       {"PATCH " + doc5 + R"( {"name":"Nouveau.md"})", "GET " + doc5}},
      {"fo:4 ws:2 F contents " + contents, {"GET " + folder4}},
      // Changes the server does not hold are acknowledged as passed in.
      {"do:5 fo:1 Ancien.md lastUsedDate,tagData,favoriteRank",
       {},
       R"({"itemIdentifier":"do:5","parentItemIdentifier":"fo:1","filename":"Ancien.md"})",
       "completion"},
      {"ws:2 @root Renommé filename", {}, R"({"itemIdentifier":"ws:2","filename":"Renommé"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Lines w = words(c.args);
    Lines args{"modify", w[0], "--parent", w[1], "--name", w[2], "--changed", w[3]};
    if (w.size() > 4) args.insert(args.end(), {"--contents", w[4]});
    const std::size_t before = server.requestCount();
    auto result = drive.fp(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(requestLines(server, before), c.requests);
    EXPECT_EQ(result.calls(), c.calls);
    EXPECT_EQ(result.completion().at("remainingFields"), json::array());
    expectJson(result.item(), c.item);
  }
  EXPECT_NE(server.requests()[0].body.find("# Nouveau\n"), std::string::npos);

  // The first failing step ends the change: renamed, the move refused, nothing read.
  const std::size_t before = server.requestCount();
  auto refused = drive.fp(
      "modify do:5 --parent fo:99 --name Nouveau.md --changed filename,parentItemIdentifier");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.calls(), "completion");
  EXPECT_TRUE(refused.completion().at("item").is_null());
  EXPECT_EQ(refused.failure(), R"(FoliumCore.FoliumError 0 {"status":409})");
  EXPECT_EQ(server.requestCount() - before, 2u);
}

// --- Changes and anchors -------------------------------------------------------------------

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

// A page of the change feed up to `cursor`, each change written as "type entity-id action".
ScriptedResponse page(const Lines& changes, int cursor, bool hasMore) {
  json::array records;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    std::istringstream words(changes[i]);
    std::string type, id, action;
    words >> type >> id >> action;
    records.push_back({{"id", cursor - changes.size() + i + 1},
                       {"entity_type", type},
                       {"entity_id", id},
                       {"action", action}});
  }
  return ScriptedResponse::json(json::serialize(
      json::object{{"changes", records}, {"cursor", cursor}, {"has_more", hasMore}}));
}

TEST(FpChanges, EachPageReportsDeletionsThenUpdatesUntilTheFeedFails) {
  FeedServer feed;
  feed.pages["0"] =
      page({"DocumentsFolder 7 deleted", "Document 5 updated", "Workspace 3 deleted",
            "DocumentsFolder 8 created", "Attachment 9 deleted", "Workspace 2 renamed"},
           6, true);
  // The page after cursor 6 fails: what came before stays reported.
  Drive drive(feed.server.baseURL());
  auto result = drive.fp("changes v4:0");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.calls(),
            "didDeleteItemsWithIdentifiers didUpdateItems finishEnumeratingChangesUpToSyncAnchor");
  EXPECT_EQ(result.line("didDeleteItemsWithIdentifiers").at("identifiers"),
            (json::array{"fo:7", "ws:3", "do:9"}));
  EXPECT_EQ(identifiers(result.items("didUpdateItems")), (Lines{"do:5", "fo:8", "ws:2"}));
  EXPECT_EQ(result.items("didUpdateItems")[1].at("parentItemIdentifier"), json::value("ws:1"));
  EXPECT_EQ(result.lines.back(), (json::object{{"call", "finishEnumeratingChangesUpToSyncAnchor"},
                                               {"anchor", "v4:6"},
                                               {"moreComing", false}}));
  EXPECT_EQ(requestLines(feed.server),
            (Lines{"GET /api/v1/documents/changes?cursor=0&limit=500",
                   "GET /api/v1/documents/documents/5", "GET /api/v1/documents/folders/8",
                   "GET /api/v1/documents/workspaces/2",
                   "GET /api/v1/documents/changes?cursor=6&limit=500"}));
}

TEST(FpChanges, OnlyAGoneEntityIsSkippedAnyOtherFailureRetriesThePage) {
  ScriptedResponse closed;
  closed.closeWithoutReply = true;
  std::vector<std::pair<ScriptedResponse, bool>> cases;  // the failure, whether it is skipped
  for (int status : {404, 410, 403}) cases.emplace_back(ScriptedResponse::status(status), true);
  for (int status : {500, 429, 401}) cases.emplace_back(ScriptedResponse::status(status), false);
  cases.emplace_back(closed, false);
  cases.emplace_back(ScriptedResponse::json(R"({"id":2})"), false);
  for (const auto& [failure, skipped] : cases) {
    SCOPED_TRACE(failure.statusCode);
    FeedServer feed;
    feed.pages["10"] = page(
        {"Document 1 updated", "Document 4 deleted", "Document 2 updated", "Document 3 updated"},
        14, false);
    auto readable = feed.entity;
    feed.entity = [&, readable](const std::string& path) {
      return path.ends_with("/2") ? failure : readable(path);
    };
    Drive drive(feed.server.baseURL());
    auto result = drive.fp("changes v4:10");
    EXPECT_EQ(result.exitCode, 0);
    if (skipped) {
      EXPECT_EQ(identifiers(result.items("didUpdateItems")), (Lines{"do:1", "do:3"}));
      EXPECT_EQ(result.lines.back().at("anchor"), json::value("v4:14"));
    } else {
      // Nothing of the page, and the next enumeration starts from the same place.
      EXPECT_EQ(result.calls(), "finishEnumeratingChangesUpToSyncAnchor");
      EXPECT_EQ(result.lines.back().at("anchor"), json::value("v4:10"));
      EXPECT_EQ(feed.server.requests().back().path, "/api/v1/documents/documents/2");
    }
  }
}

TEST(FpAnchor, TheCurrentAnchorIsTheEndOfTheWholeFeedElseItsStart) {
  FeedServer feed;
  feed.pages["0"] = page({"Document 1 deleted"}, 500, true);
  feed.pages["500"] = page({}, 730, false);
  Drive drive(feed.server.baseURL());
  auto result = drive.fp("anchor fo:1");
  EXPECT_EQ(result.completion(), (json::object{{"call", "completion"}, {"anchor", "v4:730"}}));
  EXPECT_EQ(requestLines(feed.server),
            (Lines{"GET /api/v1/documents/changes?cursor=0&limit=500",
                   "GET /api/v1/documents/changes?cursor=500&limit=500"}));

  // A feed that cannot be read to its end gives the start of the feed, never an error.
  feed.pages.erase("500");
  auto failed = drive.fp("anchor");
  EXPECT_EQ(failed.exitCode, 0);
  EXPECT_EQ(failed.completion().at("anchor"), json::value("v4:0"));

  // A feed that says there is more but does not move is not read forever.
  feed.pages["0"] = page({}, 5, true);
  feed.pages["5"] = page({}, 5, true);
  const std::size_t before = feed.server.requestCount();
  EXPECT_EQ(drive.fp("anchor").completion().at("anchor"), json::value("v4:5"));
  EXPECT_EQ(drive.fp("changes v4:5").lines.back().at("anchor"), json::value("v4:5"));
  EXPECT_EQ(feed.server.requestCount() - before, 3u);
}

// --- Output and usage ----------------------------------------------------------------------

TEST(FpOutput, IsUtf8WhateverBytesTheCommandLineCarries) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::status(500); });
  Drive drive(server.baseURL());
  const std::string replacement = "\xEF\xBF\xBD";
  // Each line must parse as JSON, which takes valid UTF-8 only (Drive::fp reports any that
  // does not). A stray byte and a cut-short sequence each become one U+FFFD, a surrogate one
  // per byte; a well-formed character stays.
  auto anchor = drive.fp({"changes", std::string("v4:\xff") + "1"});
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

TEST(FpUsage, BadArgumentsAreNamedAndExitTwo) {
  Drive drive("http://127.0.0.1:1/");
  const std::pair<Lines, std::string> cases[] = {
      {{"modify", "do:1", "--parent", "ws:1", "--name", "n", "--changed", "filename,colour"},
       "colour"},
      {{"ls", "@desk"}, "@desk"},
      {{"create", "ws:1", "n", "--folder", "--content-type", "text/plain"}, "--folder"},
      {{"item"}, "ID"},
      {{"create", "ws:1", "n", "--contents", ""}, "--contents"},
  };
  for (const auto& [args, named] : cases) {
    auto result = drive.fp(args);
    EXPECT_EQ(result.exitCode, 2) << args[0];
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
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

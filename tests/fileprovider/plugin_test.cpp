// The plug-in served as the file-provider service serves it, in this process, against a
// scripted server: each answer is recorded as text ("didEnumerateItems(fo:2 do:3)
// finishEnumeratingUpToPage()"). With the devserver, through the mount, see tests/drive.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/json.hpp>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/desktop/content_types.hpp"
#include "platform/fileprovider/item_fields.hpp"
#include "tests/support/plugin_drive.hpp"
#include "tests/support/scripted_server.hpp"

namespace folium::fp {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using F = platform::ItemField;
using testing::Answer;
using testing::PluginDrive;
using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::ScriptedServer;
using Lines = std::vector<std::string>;

const std::string kRoot(platform::NSFileProviderRootContainerItemIdentifier);
const std::string kWorkingSet = "NSFileProviderWorkingSetContainerItemIdentifier";
const std::string kTrash = "NSFileProviderTrashContainerItemIdentifier";
const std::string kFolderType(platform::kFolderContentType);

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

TEST(PluginRefusals, WhatCannotBeDoneFailsWithItsOwnErrorAndSendsNothing) {
  ScriptedServer server(creationServer);
  PluginDrive drive(server.baseURL());
  PluginDrive noProfile(server.baseURL());
  noProfile.forgetProfile();
  const fs::path missing = drive.dir() / "missing.txt";
  const std::string notContents = "(NSFileProviderErrorDomain -1005)";
  const std::string unsupported = "(NSCocoaErrorDomain 3328)";
  const std::string noAuth = "(NSFileProviderErrorDomain -1000)";
  const std::string zero = " progress(0/100)";  // a change or download that failed
  const std::pair<std::function<Answer()>, std::string> cases[] = {
      // Only documents have contents.
      {[&] { return drive.fetch("fo:1"); }, "completion" + notContents + zero},
      {[&] { return drive.fetch(kTrash); }, "completion" + notContents + zero},
      // Nothing is created outside a workspace; folder 0 has none.
      {[&] { return drive.create(kRoot, "D", kFolderType); }, "completion" + unsupported + zero},
      {[&] { return drive.create("do:5", "D"); }, "completion" + unsupported + zero},
      {[&] { return drive.create("fo:0", "D", kFolderType); }, "completion" + unsupported + zero},
      // Containers are never deleted.
      {[&] { return drive.remove("ws:1"); }, "completion" + unsupported + " progress(1/1)"},
      {[&] { return drive.remove(kRoot); }, "completion" + unsupported + " progress(1/1)"},
      // A contents file that cannot be read: not even the rename is sent.
      {[&] { return drive.create("ws:3", "n.txt", std::nullopt, missing); },
       "completion(NSPOSIXErrorDomain 2)" + zero},
      {[&] { return drive.modify("do:5", "fo:8", "A.md", F::contents | F::filename, missing); },
       "completion(NSPOSIXErrorDomain 2)" + zero},
      // Without a profile, whatever needs the server.
      {[&] { return noProfile.list(kRoot); }, "enumeratorError" + noAuth},
      {[&] { return noProfile.item("ws:1"); }, "completion" + noAuth + " progress(1/1)"},
      {[&] { return noProfile.create("ws:1", "x.txt"); }, "completion" + noAuth + zero},
      {[&] { return noProfile.modify("do:1", "ws:1", "y", F::filename); },
       "completion" + noAuth + zero},
      {[&] { return noProfile.remove("do:1"); }, "completion" + noAuth + " progress(1/1)"},
      // ...but not the root, named after the domain, or a change the server never hears of.
      {[&] { return noProfile.item(kRoot); }, "completion(" + kRoot + ") progress(1/1)"},
      {[&] { return noProfile.modify("do:1", "ws:1", "y", F::tagData); },
       "completion(do:1) progress(100/100)"},
  };
  for (const auto& [request, expected] : cases) EXPECT_EQ(request().text, expected);
  EXPECT_NE(
      drive.create("ws:3", "n", std::nullopt, missing).error->description().find(missing.string()),
      std::string::npos);
  // Only the folder without a workspace was read.
  EXPECT_EQ(requestLines(server), (Lines{"GET /api/v1/documents/folders/0"}));
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

TEST(PluginListing, BothListsAtOnceNoPartialListAndServiceContainersNeedNoRequest) {
  ListingServer s;
  // A reply that keeps moving for minutes: only a cancellation ends it early.
  auto slow = ScriptedResponse::json("[" + std::string(400, ' ') + "]");
  slow.bodyByteInterval = std::chrono::milliseconds(500);
  const auto folder = ScriptedResponse::json(R"([{"id":"2","name":"Sous"}])");
  const auto document = ScriptedResponse::json(R"([{"id":"3","name":"a.txt","workspace_id":"1"},
      {"id":"4","name":"b.txt","documents_folder_id":"9"}])");
  const struct {
    std::string container;
    ScriptedResponse folders, documents;
    std::string text;
  } cases[] = {
      {"fo:1", folder, document, "didEnumerateItems(fo:2 do:3 do:4) finishEnumeratingUpToPage()"},
      // A workspace shows its top level only.
      {"ws:1", folder, document, "didEnumerateItems(fo:2 do:3) finishEnumeratingUpToPage()"},
      // The folder list's failure wins; the slow document request is cancelled.
      {"ws:1", ScriptedResponse::status(500), slow,
       "finishEnumeratingWithError(FoliumCore.FoliumError 0)"},
      {"ws:1", folder, ScriptedResponse::status(503),
       "finishEnumeratingWithError(FoliumCore.FoliumError 0)"},
  };
  PluginDrive drive(s.server.baseURL());
  for (const auto& c : cases) {
    s.folders = [&] { return c.folders; };
    s.documents = [&] { return c.documents; };
    EXPECT_EQ(drive.list(c.container).text, c.text);
  }
  EXPECT_EQ(s.server.requestCount(), 8u);
  for (const std::string& container : {kWorkingSet, kTrash, std::string("do:5")}) {
    EXPECT_EQ(drive.list(container).text, "didEnumerateItems() finishEnumeratingUpToPage()");
  }
  EXPECT_EQ(drive.item(kRoot).item->filename(), "Mon Drive");  // the profile's name
  EXPECT_EQ(drive.item(kTrash).item->parentItemIdentifier(), kRoot);
  EXPECT_EQ(s.server.requestCount(), 8u);
}

TEST(PluginCreate, InAFolderItsWorkspaceIsReadFirstAndAReplacedTokenIsUsedAtOnce) {
  ScriptedServer server(creationServer);
  PluginDrive drive(server.baseURL(), "first-token");
  EXPECT_EQ(drive.create("fo:7", "n.txt").text, "completion(do:50) progress(100/100)");
  drive.saveProfile(server.baseURL(), "second-token");
  EXPECT_EQ(drive.create("ws:3", "N", kFolderType).text, "completion(fo:40) progress(100/100)");
  EXPECT_EQ(requestLines(server),
            (Lines{"GET /api/v1/documents/folders/7", "POST /api/v1/documents/documents multipart",
                   R"(POST /api/v1/documents/folders {"name":"N","workspace_id":"3"})"}));
  const auto requests = server.requests();
  EXPECT_NE(requests[1].body.find("name=\"documents_folder_id\"\r\n\r\n7\r\n"), std::string::npos);
  EXPECT_NE(requests[1].body.find("name=\"workspace_id\"\r\n\r\n3\r\n"), std::string::npos);
  EXPECT_EQ(requests[1].header("Authorization"), "Bearer first-token");
  EXPECT_EQ(requests[2].header("Authorization"), "Bearer second-token");
}

// Answers every request with the record of document 5 as it is after all changes, but
// refuses a move into folder 99.
ScriptedResponse documentServer(const RecordedRequest& request) {
  if (request.body.find(R"("99")") != std::string::npos) return ScriptedResponse::status(409);
  return ScriptedResponse::json(
      R"({"id":"5","name":"Nouveau.md","documents_folder_id":"8","workspace_id":"2"})");
}

TEST(PluginModify, SendsWhatTheServerHoldsContentsThenNameThenParentAndRereads) {
  ScriptedServer server(documentServer);
  PluginDrive drive(server.baseURL());
  const fs::path contents = drive.dir() / "new.md";
  testing::writeFile(contents, "# Nouveau\n");
  const std::string doc5 = "/api/v1/documents/documents/5";
  const std::string folder4 = "/api/v1/documents/folders/4";
  const std::string toTop = "PATCH " + folder4 + R"( {"documents_folder_id":null})";
  const struct {
    std::string id, parent;
    platform::ItemFields changed;
    bool withContents;
    Lines requests;
  } cases[] = {
      {"do:5",
       "fo:8",
       F::contents | F::filename | F::parentItemIdentifier | F::tagData,
       true,
       {"PATCH " + doc5 + " multipart", "PATCH " + doc5 + R"( {"name":"N"})",
        "PATCH " + doc5 + R"( {"documents_folder_id":"8"})", "GET " + doc5}},
      // Moves out of folders go to the top of the workspace.
      {"fo:4", "ws:9", F::parentItemIdentifier, false, {toTop, "GET " + folder4}},
      {"fo:4", kRoot, F::parentItemIdentifier, false, {toTop, "GET " + folder4}},
      // The contents bit without a file, or on a folder: the contents stay as they are.
      {"do:5",
       "fo:8",
       F::contents | F::filename,
       false,
       {"PATCH " + doc5 + R"( {"name":"N"})", "GET " + doc5}},
      {"fo:4", "ws:2", F::contents, true, {"GET " + folder4}},
      // Changes the server does not hold are acknowledged as passed in.
      {"do:5", "fo:1", F::lastUsedDate | F::tagData | F::favoriteRank, false, {}},
      {"ws:2", kRoot, F::filename, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id + " " + std::to_string(c.changed));
    const std::size_t before = server.requestCount();
    const Answer answer = drive.modify(c.id, c.parent, "N", c.changed,
                                       c.withContents ? std::optional(contents) : std::nullopt);
    EXPECT_EQ(answer.error, nullptr) << answer.text;
    EXPECT_EQ(requestLines(server, before), c.requests);
    EXPECT_EQ(answer.remainingFields, 0u);
  }
  EXPECT_NE(server.requests()[0].body.find("# Nouveau\n"), std::string::npos);

  // The first failing step ends the change: renamed, the move refused, nothing read.
  const std::size_t before = server.requestCount();
  EXPECT_EQ(drive.modify("do:5", "fo:99", "N", F::filename | F::parentItemIdentifier).text,
            "completion(FoliumCore.FoliumError 0) progress(0/100)");
  EXPECT_EQ(server.requestCount() - before, 2u);
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

TEST(PluginChanges, EachPageReportsDeletionsThenUpdatesUntilTheFeedFails) {
  FeedServer feed;
  feed.pages["0"] =
      page({"DocumentsFolder 7 deleted", "Document 5 updated", "Workspace 3 deleted",
            "DocumentsFolder 8 created", "Attachment 9 deleted", "Workspace 2 renamed"},
           6, true);
  // The page after cursor 6 fails: what came before stays reported, to any container.
  PluginDrive drive(feed.server.baseURL());
  const Answer answer = drive.changes("v4:0", kTrash);
  EXPECT_EQ(answer.text,
            "didDeleteItemsWithIdentifiers(fo:7 ws:3 do:9) didUpdateItems(do:5 fo:8 ws:2) "
            "finishEnumeratingChangesUpToSyncAnchor(v4:6)");
  EXPECT_EQ(answer.items[1]->parentItemIdentifier(), "ws:1");
  EXPECT_EQ(requestLines(feed.server),
            (Lines{"GET /api/v1/documents/changes?cursor=0&limit=500",
                   "GET /api/v1/documents/documents/5", "GET /api/v1/documents/folders/8",
                   "GET /api/v1/documents/workspaces/2",
                   "GET /api/v1/documents/changes?cursor=6&limit=500"}));
}

TEST(PluginChanges, AnEntityThatCanNeverBeReadIsSkippedOneThatMayPassRetriesThePage) {
  const std::pair<ScriptedResponse, bool> cases[] = {
      // the failure, whether it is skipped
      {ScriptedResponse::status(404), true},
      {ScriptedResponse::status(400), true},
      {ScriptedResponse::json(R"({"id":"2","workspace_id":"1"})"), true},  // no name
      {{.raw = "hello\r\n\r\n"}, true},
      {ScriptedResponse::status(500), false},
      {ScriptedResponse::status(429), false},
      {ScriptedResponse::status(401), false},
      {{.closeWithoutReply = true}, false},
  };
  for (const auto& [failure, skipped] : cases) {
    SCOPED_TRACE(std::to_string(failure.statusCode) + " " + failure.body);
    FeedServer feed;
    feed.pages["10"] =
        page({"Document 1 updated", "Document 2 updated", "Document 3 deleted"}, 13, false);
    auto readable = feed.entity;
    feed.entity = [&, readable](const std::string& path) {
      return path.ends_with("/2") ? failure : readable(path);
    };
    PluginDrive drive(feed.server.baseURL());
    // Else nothing of the page, and the next enumeration starts from the same place.
    EXPECT_EQ(drive.changes("v4:10").text,
              skipped ? "didDeleteItemsWithIdentifiers(do:3) didUpdateItems(do:1) "
                        "finishEnumeratingChangesUpToSyncAnchor(v4:13)"
                      : "finishEnumeratingChangesUpToSyncAnchor(v4:10)");
  }
}

TEST(PluginAnchor, TheCurrentAnchorIsTheEndOfTheFeedElseItsStartAndOnlyReadableOnesAreFollowed) {
  FeedServer feed;
  feed.pages["0"] = page({"Document 1 deleted"}, 500, true);
  feed.pages["500"] = page({}, 730, false);
  PluginDrive drive(feed.server.baseURL());
  EXPECT_EQ(drive.currentAnchor("fo:1").text, "completion(v4:730)");
  EXPECT_EQ(feed.server.requests().back().query, "cursor=500&limit=1000");
  // A feed that cannot be read to its end gives the start of the feed, never an error.
  feed.pages.erase("500");
  EXPECT_EQ(drive.currentAnchor().text, "completion(v4:0)");
  // A feed that says there is more but does not move is not read forever.
  feed.pages["0"] = page({}, 5, true);
  feed.pages["5"] = page({}, 5, true);
  std::size_t before = feed.server.requestCount();
  EXPECT_EQ(drive.currentAnchor().text, "completion(v4:5)");
  EXPECT_EQ(drive.changes("v4:5").text, "finishEnumeratingChangesUpToSyncAnchor(v4:5)");
  EXPECT_EQ(feed.server.requestCount() - before, 3u);

  feed.pages.clear();  // every feed request fails: the enumeration ends where it started
  const std::pair<std::string, std::string> cases[] = {
      {"v4:+26", "v4:26"},
      {"v4:007", "v4:7"},
      {":v4:5", "v4:5"},
      {"v4:-9223372036854775808", "v4:-9223372036854775808"},
  };
  for (const auto& [anchor, cursor] : cases) {
    EXPECT_EQ(drive.changes(anchor).text, "finishEnumeratingChangesUpToSyncAnchor(" + cursor + ")");
  }
  before = feed.server.requestCount();
  for (const std::string anchor : {"v4:", "", "v3:5", " v4:5", "v4:5a", "v4:5:6", "v4:+-5",
                                   "v4:0x10", "\xff:5", "v4:9223372036854775808"}) {
    EXPECT_EQ(drive.changes(anchor).text,
              "finishEnumeratingWithError(NSFileProviderErrorDomain -1002)")
        << anchor;
  }
  EXPECT_EQ(feed.server.requestCount(), before);
}

TEST(Progress, ObserverSeesSetsMadeBeforeItWasInstalledThenTheLaterOnes) {
  platform::Progress progress(100);
  progress.setCompletedUnitCount(10);
  progress.setCompletedUnitCount(40);
  std::vector<std::int64_t> seen;
  progress.setObserver([&](std::int64_t completed, std::int64_t total) {
    EXPECT_EQ(total, 100);
    seen.push_back(completed);
  });
  progress.setCompletedUnitCount(100);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{10, 40, 100}));
  EXPECT_TRUE(progress.waitUntilFinished(std::chrono::milliseconds(0)));
}

TEST(Completion, AHandlerThatThrowsIsNotCalledAgainAndTheProgressStillEnds) {
  ScriptedServer server([](const RecordedRequest&) {
    return ScriptedResponse::json(R"({"id":"4","name":"a.txt","workspace_id":"1"})");
  });
  PluginDrive drive(server.baseURL());
  std::atomic<int> calls = 0;
  auto progress = drive.extension().itemForIdentifier(
      "do:4", platform::Request{}, [&](platform::ItemPtr item, platform::ErrorPtr) {
        ++calls;
        if (item) throw std::runtime_error("the service's handler failed");
      });
  EXPECT_TRUE(progress->waitUntilFinished(std::chrono::seconds(30)));
  drive.extension().waitForRunningTasks();
  EXPECT_EQ(calls, 1);
}

TEST(Completion, ARequestOutlivesTheExtensionThatStartedIt) {
  std::promise<void> release;
  auto released = release.get_future().share();
  ScriptedServer server([released](const RecordedRequest&) {
    released.wait_for(std::chrono::seconds(30));
    return ScriptedResponse::json(R"({"id":"1","label":"Équipe"})");
  });
  PluginDrive drive(server.baseURL());
  auto answered = std::make_shared<std::promise<std::string>>();
  auto answer = answered->get_future();
  drive.extension().itemForIdentifier(
      "ws:1", platform::Request{}, [answered](platform::ItemPtr item, platform::ErrorPtr error) {
        answered->set_value(item ? item->filename() : error->description());
      });
  drive.extension().invalidate();
  drive.dropExtension();
  release.set_value();
  EXPECT_EQ(answer.get(), "Équipe");
}

}  // namespace
}  // namespace folium::fp

// The upload queue alone, on the real plug-in and a devserver, with a fake clock: what the
// mount cannot show. Faults, crashes and second writers through the mount are in
// drive_write_test.cpp.
#include "platform/fileprovider/drive/upload_queue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/fileprovider/drive/upload_notifier.hpp"
#include "tests/support/devserver.hpp"
#include "tests/support/plugin_drive.hpp"

namespace folium::platform::drive {
namespace {

using namespace std::chrono_literals;
using folium::testing::Devserver;
using folium::testing::readFile;
using folium::testing::writeFile;

constexpr auto kPatience = 60s;
const std::vector<std::string> kDemo = {"--demo"};

class Recorder final : public UploadListener, public UploadNotifier {
 public:
  void uploaded(LocalItemId item, const ItemPtr& serverItem) override {
    std::lock_guard lock(mutex);
    uploads[item] = serverItem;
  }
  void conflictCopyMade(LocalItemId, const ItemPtr&, const std::filesystem::path&) override {}
  void refused(LocalItemId item, const ErrorPtr&) override {
    std::lock_guard lock(mutex);
    refusals.push_back(item);
  }
  void statusChanged(const UploadStatus&) override {}
  void notify(const std::string& summary, const std::string& body) noexcept override {
    std::lock_guard lock(mutex);
    notifications.push_back(summary + ": " + body);
  }

  std::mutex mutex;
  std::map<LocalItemId, ItemPtr> uploads;
  std::vector<LocalItemId> refusals;
  std::vector<std::string> notifications;
};

// The drive's side of the queue: the real plug-in, a fake clock, and a folder standing for
// the drive's cache.
class Drive {
 public:
  explicit Drive(const Devserver& server) : plugin_(server.baseURL(), server.token()) {
    std::filesystem::create_directory(plugin_.dir() / "cache");
    open();
  }

  void open() {
    UploadQueueOptions options;
    options.stateDirectory = plugin_.dir() / "state";
    options.driveName = "Test";
    options.gracePeriod = 5s;
    options.notifier = recorder_;
    queue_ = std::make_unique<UploadQueue>(options, plugin_.extension(), clock_, *recorder_);
    queue_->start();
  }
  // The worker stops, whatever is waiting; the state stays on disk.
  void close() { queue_.reset(); }

  // What the drive hands over on the last close of an edited file.
  LocalEdit edit(LocalItemId item, std::optional<ItemIdentifier> identifier,
                 std::string baseVersion, ItemIdentifier parent, const std::string& filename,
                 std::string_view contents) {
    const auto file = plugin_.dir() / "cache" / std::to_string(++files_);
    writeFile(file, contents);
    return LocalEdit{
        item, std::move(identifier), std::move(baseVersion), std::move(parent), filename, filename,
        file};
  }

  // Moves the fake clock past every retry until nothing is left to do, at most `rounds`
  // times; true when the queue went idle.
  bool drain(int rounds) {
    for (int i = 0; i < rounds; ++i) {
      EXPECT_TRUE(queue_->waitUntilQuiet(kPatience));
      if (queue_->waitUntilIdle(0ms)) return true;
      clock_.advance(60s);
    }
    return queue_->waitUntilIdle(0ms);
  }

  UploadQueue& queue() { return *queue_; }
  Recorder& recorder() { return *recorder_; }
  FakeClock& clock() { return clock_; }

 private:
  folium::testing::PluginDrive plugin_;  // outlives the queue
  FakeClock clock_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::unique_ptr<UploadQueue> queue_;
  int files_ = 0;
};

// name -> contents of the workspace's top-level documents.
std::map<std::string, std::string> documentsOf(const FoliumClient& client, const std::string& ws) {
  std::map<std::string, std::string> documents;
  for (const auto& document : client.listDocuments(ws, std::nullopt)) {
    EXPECT_FALSE(documents.contains(document.name)) << "twice: " << document.name;
    documents[document.name] = client.downloadDocument(document.id);
  }
  return documents;
}

std::string versionOf(const FoliumDocument& document) { return document.updatedAt.value_or("0"); }

// A devserver with the demo tree, and the top of its first workspace.
class UploadQueueTest : public ::testing::Test {
 protected:
  Devserver server_{kDemo};
  const FoliumClient client_ = server_.client();
  const std::string ws_ = client_.listWorkspaces().at(0).id;
  const std::string parent_ = "ws:" + ws_;
};

TEST_F(UploadQueueTest, InAConflictNobodysWorkIsOverwritten) {
  Drive drive(server_);

  // What someone else did to the document before the edit went, and is no conflict (other
  // contents are, through the mount: drive_write_test): the same contents, or a deletion,
  // after which the document comes back as a new one that the item then follows.
  LocalItemId item = 1;
  for (const bool deleted : {false, true}) {
    const std::string name = deleted ? "Supprimé.md" : "Pareil.md";
    const std::string edit = "edit of " + name;
    SCOPED_TRACE(name);
    const FoliumDocument original = client_.createDocument(ws_, std::nullopt, name, "base");
    if (deleted) {
      client_.deleteDocument(original.id);
    } else {
      client_.updateDocumentContent(original.id, name, edit);
    }
    drive.queue().enqueue(
        drive.edit(item, "do:" + original.id, versionOf(original), parent_, name, edit));
    ASSERT_TRUE(drive.drain(3));
    EXPECT_EQ(documentsOf(client_, ws_).at(name), edit);
    std::lock_guard lock(drive.recorder().mutex);
    ASSERT_TRUE(drive.recorder().uploads.count(item));
    const ItemPtr& now = drive.recorder().uploads[item];
    const FoliumDocument onServer = client_.getDocument(now->itemIdentifier().substr(3));
    EXPECT_EQ(onServer.name, name);
    EXPECT_EQ(now->itemVersion().contentVersion, versionOf(onServer));
    ++item;
  }

  // The next close comes before the drive heard of the last upload (it hands over the old
  // base, or no identifier for a new file): still one document, and no copy.
  const FoliumDocument memo = client_.createDocument(ws_, std::nullopt, "Memo.md", "base");
  const LocalItemId newFile = item + 1;
  for (const char* contents : {"memo 1", "memo 2"}) {
    drive.queue().enqueue(
        drive.edit(item, "do:" + memo.id, versionOf(memo), parent_, "Memo.md", contents));
    drive.queue().enqueue(drive.edit(newFile, std::nullopt, "", parent_, "Nouveau.md",
                                     std::string("new ") + contents));
    ASSERT_TRUE(drive.drain(3));
  }
  const auto documents = documentsOf(client_, ws_);
  EXPECT_EQ(documents.at("Memo.md"), "memo 2");
  EXPECT_EQ(documents.at("Nouveau.md"), "new memo 2");
  // What a drive restarted after the upload, never told, learns of the new file.
  {
    std::lock_guard lock(drive.recorder().mutex);
    const ItemPtr told = drive.recorder().uploads[newFile];
    const auto last = drive.queue().lastUpload(newFile);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->identifier, told->itemIdentifier());
    EXPECT_EQ(last->version, told->itemVersion().contentVersion);
  }
  item += 2;

  // A close during an upload continues it, and the upload after it starts from the first
  // one's version. Until the drive takes that in, it still hands over the base it had at
  // first: that edit continues ours too.
  const FoliumDocument suite = client_.createDocument(ws_, std::nullopt, "Suite.md", "base");
  server_.stop();
  server_.start({"--demo", "--latency", "1000"});
  drive.queue().enqueue(
      drive.edit(item, "do:" + suite.id, versionOf(suite), parent_, "Suite.md", "suite 1"));
  auto drained = std::async(std::launch::async, [&] { return drive.drain(3); });
  std::this_thread::sleep_for(1300ms);  // the upload waits for the server's answer
  drive.queue().enqueue(
      drive.edit(item, "do:" + suite.id, versionOf(suite), parent_, "Suite.md", "suite 2"));
  ASSERT_TRUE(drained.get());
  ASSERT_TRUE(drive.drain(3));
  server_.stop();
  server_.start(kDemo);
  drive.queue().enqueue(
      drive.edit(item, "do:" + suite.id, versionOf(suite), parent_, "Suite.md", "suite 3"));
  ASSERT_TRUE(drive.drain(3));
  EXPECT_EQ(client_.downloadDocument(suite.id), "suite 3");
  EXPECT_EQ(drive.queue().status().conflicts, 0);
  ++item;

  // The drive renames an edited file on the server before its edit could go: its own
  // rename is no conflict.
  const FoliumDocument plan = client_.createDocument(ws_, std::nullopt, "Plan.md", "base");
  server_.stop();
  drive.queue().enqueue(
      drive.edit(item, "do:" + plan.id, versionOf(plan), parent_, "Plan.md", "edit of Plan"));
  ASSERT_TRUE(drive.queue().waitUntilQuiet(kPatience));  // waits for a retry
  server_.start(kDemo);
  const FoliumDocument renamed = client_.renameDocument(plan.id, "Plan final.md");
  drive.queue().moved(item, parent_, "Plan final.md", "Plan final.md", versionOf(plan),
                      versionOf(renamed));
  ASSERT_TRUE(drive.drain(3));
  EXPECT_EQ(client_.downloadDocument(plan.id), "edit of Plan");
  EXPECT_EQ(drive.queue().status().conflicts, 0);
}

TEST_F(UploadQueueTest, NewScratchFilesStayLocalAndRefusalsAreKeptAndTold) {
  Drive drive(server_);
  UploadQueue& queue = drive.queue();

  // Within the grace period: vanishes before reaching the server.
  queue.enqueue(drive.edit(1, std::nullopt, "", parent_, "brouillon.txt", "short-lived"));
  // A lock file and a swap file: never sent while they live.
  queue.enqueue(drive.edit(2, std::nullopt, "", parent_, ".~lock.Budget.md#", "lock"));
  queue.enqueue(drive.edit(3, std::nullopt, "", parent_, ".Budget.md.swp", "swap"));
  // A name the server refuses for good (kept until renamed, through the mount: drive_write_test).
  queue.enqueue(drive.edit(4, std::nullopt, "", parent_, std::string(300, 'n'), "kept"));
  // An edit whose contents cannot be kept fails the close, and nothing is queued.
  LocalEdit missing = drive.edit(9, std::nullopt, "", parent_, "x.txt", "x");
  missing.contents = missing.contents.parent_path() / "gone";
  EXPECT_THROW(queue.enqueue(missing), std::system_error);
  EXPECT_FALSE(queue.holds(9));
  EXPECT_EQ(queue.status().pendingUploads, 2);
  drive.clock().advance(2s);
  queue.discard(1);
  ASSERT_TRUE(drive.drain(3));

  UploadStatus status = queue.status();
  EXPECT_EQ(status.pendingUploads, 0);
  EXPECT_EQ(status.refusedUploads, 1);
  ASSERT_TRUE(status.lastError);
  EXPECT_NE(status.lastError->find("400"), std::string::npos) << *status.lastError;
  EXPECT_TRUE(queue.holds(2));
  EXPECT_FALSE(queue.holds(1));
  {
    std::lock_guard lock(drive.recorder().mutex);
    EXPECT_EQ(drive.recorder().refusals, std::vector<LocalItemId>{4});
    ASSERT_EQ(drive.recorder().notifications.size(), 1u);
    EXPECT_TRUE(drive.recorder().notifications[0].starts_with("Envoi refusé"));
  }
  // Refused edits survive a restart; retrying at once does not resend them.
  drive.close();
  drive.open();
  drive.queue().retryNow();
  ASSERT_TRUE(drive.drain(3));
  EXPECT_EQ(drive.queue().status().refusedUploads, 1);

  // The lock file's owner saves and renames it into a real document.
  drive.queue().moved(2, parent_, "Budget.md", "Budget.md");
  ASSERT_TRUE(drive.drain(3));
  const auto onServer = documentsOf(client_, ws_);
  EXPECT_FALSE(onServer.contains("brouillon.txt"));
  EXPECT_FALSE(onServer.contains(".Budget.md.swp"));
  EXPECT_EQ(onServer.at("Budget.md"), "lock");
}

TEST_F(UploadQueueTest, RetriesKeepComingAtMostAMinuteApartForAsLongAsItTakes) {
  server_.stop();
  Drive drive(server_);
  drive.queue().enqueue(drive.edit(1, std::nullopt, "", parent_, "Hors ligne.md", "offline"));
  // An hour offline: every attempt fails, none is dropped.
  for (int minute = 0; minute < 60; ++minute) {
    ASSERT_TRUE(drive.queue().waitUntilQuiet(kPatience));
    drive.clock().advance(60s);
  }
  ASSERT_TRUE(drive.queue().waitUntilQuiet(kPatience));
  EXPECT_EQ(drive.queue().status().pendingUploads, 1);
  EXPECT_TRUE(drive.queue().status().lastError);
  server_.start(kDemo);
  drive.clock().advance(60s);
  EXPECT_TRUE(drive.queue().waitUntilIdle(kPatience));
}

// Through foliumctl and the service, tests/service shows where a removed drive's edit goes;
// here, how every edit left is laid out.
TEST_F(UploadQueueTest, OnRemovalEditsLeftAreKeptAsideAndClearedOnceTheyArrive) {
  folium::testing::TempDir home;
  const folium::testing::ScopedEnv state({{"XDG_STATE_HOME", (home / "state").string()}});
  const FoliumDocument document = client_.createDocument(ws_, std::nullopt, "Plan.md", "base");
  server_.stop();

  Drive drive(server_);
  // An edit, a new file, another edit shown at the same path (a file deleted and made
  // again), and a path that tries to climb out of the folder it is kept in.
  const struct {
    LocalItemId item;
    bool created;
    const char* path;
    const char* contents;
  } edits[] = {{1, false, "Projets/2027/Plan.md", "edit"},
               {2, true, "Projets/Idées.md", "idées"},
               {4, true, "Projets/2027/Plan.md", "again"},
               {3, true, "../../escape.md", "x"}};
  for (const auto& e : edits) {
    LocalEdit edit = e.created ? drive.edit(e.item, std::nullopt, "", parent_,
                                            std::filesystem::path(e.path).filename(), e.contents)
                               : drive.edit(e.item, "do:" + document.id, versionOf(document),
                                            parent_, "Plan.md", e.contents);
    edit.path = e.path;
    drive.queue().enqueue(edit);
  }

  const KeptAside kept = drive.queue().finishForRemoval(200ms);
  EXPECT_EQ(kept.files, 4);
  EXPECT_EQ(kept.folder, home / "state" / "folium" / "unsynced" / "Test");
  EXPECT_EQ(readFile(kept.folder / "Projets/2027/Plan.md"), "edit");
  EXPECT_EQ(readFile(kept.folder / "Projets/2027/Plan (2).md"), "again");
  EXPECT_EQ(readFile(kept.folder / "Projets/Idées.md"), "idées");
  EXPECT_EQ(readFile(kept.folder / "_.." / "_.." / "escape.md"), "x");
  EXPECT_EQ(folium::testing::fileMode(kept.folder / "Projets/2027/Plan.md"), 0600u);
  EXPECT_EQ(folium::testing::fileMode(kept.folder / "Projets"), 0700u);
  {
    std::lock_guard lock(drive.recorder().mutex);
    ASSERT_FALSE(drive.recorder().notifications.empty());
    EXPECT_TRUE(drive.recorder().notifications.back().starts_with("Modifications mises de côté"));
  }
  // The user changes one copy: that one is theirs and stays.
  writeFile(kept.folder / "Projets/Idées.md", "idées, revues à la main");

  // The domain is added again: the edits resume and their copies go.
  drive.close();
  server_.start(kDemo);
  drive.open();
  ASSERT_TRUE(drive.drain(5));
  EXPECT_EQ(client_.downloadDocument(document.id), "edit");
  EXPECT_FALSE(std::filesystem::exists(kept.folder / "Projets/2027"));
  EXPECT_FALSE(std::filesystem::exists(kept.folder / "_.."));
  EXPECT_EQ(readFile(kept.folder / "Projets/Idées.md"), "idées, revues à la main");
}

TEST(UploadQueueNames, ConflictCopiesKeepTheExtensionAndFitInAName) {
  const folium::testing::ScopedEnv utc({{"TZ", "UTC"}});
  tzset();
  // 2026-12-06 14:32:05 UTC
  const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1796567525));
  const std::pair<std::string, std::string> cases[] = {
      {"Budget.md", "Budget (conflit 2026-12-06 14-32-05).md"},
      {"README", "README (conflit 2026-12-06 14-32-05)"},
      {".bashrc", ".bashrc (conflit 2026-12-06 14-32-05)"},
      {"archive.tar.gz", "archive.tar (conflit 2026-12-06 14-32-05).gz"},
  };
  for (const auto& [name, copy] : cases) EXPECT_EQ(UploadQueue::conflictCopyName(name, when), copy);
  // Too long for a name: the stem gives way, never half a character, the extension stays.
  const std::string longName = std::string(240, 'a') + "é" + std::string(10, 'b') + ".md";
  const std::string copy = UploadQueue::conflictCopyName(longName, when);
  EXPECT_LE(copy.size(), 255u);
  EXPECT_TRUE(copy.ends_with(" (conflit 2026-12-06 14-32-05).md")) << copy;
  EXPECT_EQ(copy.find("\xC3 ("), std::string::npos);
}

}  // namespace
}  // namespace folium::platform::drive

#include "platform/fileprovider/drive/upload_queue.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "core/folium_client.hpp"
#include "core/shared_store.hpp"
#include "fileprovider/file_provider_extension.hpp"
#include "platform/fileprovider/drive/upload_notifier.hpp"
#include "platform/secrets/file_secret_store.hpp"
#include "tests/support/devserver.hpp"
#include "tests/support/process.hpp"

namespace folium::platform::drive {
namespace {

using namespace std::chrono_literals;
using folium::testing::BackgroundProcess;
using folium::testing::programPath;
using folium::testing::readFile;
using folium::testing::TempDir;
using folium::testing::writeFile;

constexpr auto kPatience = 60s;

using RestartableServer = folium::testing::Devserver;
const std::vector<std::string> kDemo = {"--demo"};

// A client that sees the server as a user's other program does.
FoliumClient clientOf(const RestartableServer& server) {
  return FoliumClient(FoliumConfig{Url::parse(server.baseURL()), "test-token"},
                      platform::sharedHttpSession());
}

class Recorder final : public UploadListener, public UploadNotifier {
 public:
  void uploaded(LocalItemId item, const ItemPtr& serverItem) override {
    std::lock_guard lock(mutex);
    uploads[item] = serverItem;
  }
  void conflictCopyMade(LocalItemId item, const ItemPtr& copy,
                        const std::filesystem::path& editContents) override {
    std::lock_guard lock(mutex);
    copies[item] = copy;
    copyContents[item] = readFile(editContents);
  }
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
  std::map<LocalItemId, ItemPtr> copies;
  std::map<LocalItemId, std::string> copyContents;
  std::vector<LocalItemId> refusals;
  std::vector<std::string> notifications;
};

// The drive's side of the queue: the real plug-in on a profile of its own, a fake clock, and
// a folder standing for the drive's cache.
class Drive {
 public:
  explicit Drive(const RestartableServer& server)
      : store_(SharedStore::appGroupID,
               std::make_shared<platform::FileSecretStore>(dir_.path() / "secrets")),
        recorder_(std::make_shared<Recorder>()) {
    const FoliumProvisioning profile{Url::parse(server.baseURL()), "test-token", "Test"};
    EXPECT_TRUE(store_.save(profile).ok);
    extension_ = std::make_unique<fp::FileProviderExtension>(
        platform::FileProviderDomain{profile.domainIdentifier(), "Test"}, store_,
        platform::sharedHttpSession(), pool_, dir_ / "staging");
    std::filesystem::create_directory(dir_ / "cache");
    open();
  }
  ~Drive() {
    queue_.reset();
    extension_->waitForRunningTasks();
  }

  void open() {
    UploadQueueOptions options;
    options.stateDirectory = dir_ / "state";
    options.driveName = "Test";
    options.gracePeriod = 5s;
    options.notifier = recorder_;
    queue_ = std::make_unique<UploadQueue>(options, *extension_, clock_, *recorder_);
    queue_->start();
  }
  // The worker stops at once, whatever is under way; the state stays on disk.
  void close() { queue_.reset(); }

  // What the drive hands over on the last close of an edited file.
  LocalEdit edit(LocalItemId item, std::optional<ItemIdentifier> identifier,
                 std::string baseVersion, ItemIdentifier parent, std::string filename,
                 std::string_view contents) {
    const auto file = dir_ / "cache" / std::to_string(++files_);
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

  std::filesystem::path stateDirectory() const { return dir_ / "state"; }
  std::filesystem::path secretsDirectory() const { return dir_ / "secrets"; }
  UploadQueue& queue() { return *queue_; }
  Recorder& recorder() { return *recorder_; }
  FakeClock& clock() { return clock_; }

 private:
  TempDir dir_;
  SharedStore store_;
  platform::ThreadPool pool_{4};  // outlives the plug-in's tasks
  std::unique_ptr<fp::FileProviderExtension> extension_;
  FakeClock clock_;
  std::shared_ptr<Recorder> recorder_;
  std::unique_ptr<UploadQueue> queue_;
  int files_ = 0;
};

std::string firstWorkspace(const FoliumClient& client) { return client.listWorkspaces().at(0).id; }

std::vector<FoliumDocument> topDocuments(const FoliumClient& client, const std::string& workspace) {
  return client.listDocuments(workspace, std::nullopt);
}

std::string versionOf(const FoliumDocument& document) { return document.updatedAt.value_or("0"); }

TEST(UploadQueueUnderFaults, EveryEditArrivesOnceWithoutConflictCopiesAcrossARestart) {
  RestartableServer server(kDemo);
  const FoliumClient client = clientOf(server);
  const std::string ws = firstWorkspace(client);
  const std::string parent = "ws:" + ws;
  // Documents that already exist, edited on the drive.
  std::vector<FoliumDocument> existing;
  for (int i = 0; i < 5; ++i) {
    existing.push_back(
        client.createDocument(ws, std::nullopt, "edited-" + std::to_string(i) + ".txt", "base"));
  }
  const std::size_t documentsBefore = topDocuments(client, ws).size();
  server.stop();
  server.start({"--demo", "--fail-rate", "0.3", "--drop-rate", "0.1", "--seed", "20261207"});

  Drive drive(server);
  std::map<std::string, std::string> expected;  // name -> contents the server must end with
  // The drive follows what the queue tells it: an item it uploaded has a new version (and a
  // new file an identifier) that the next edit starts from.
  auto known = [&](LocalItemId item) -> ItemPtr {
    std::lock_guard lock(drive.recorder().mutex);
    auto it = drive.recorder().uploads.find(item);
    return it == drive.recorder().uploads.end() ? nullptr : it->second;
  };
  auto editExisting = [&](int i, const std::string& contents) {
    const auto& document = existing[static_cast<std::size_t>(i)];
    const ItemPtr uploaded = known(100 + i);
    drive.queue().enqueue(
        drive.edit(100 + i, "do:" + document.id,
                   uploaded ? uploaded->itemVersion().contentVersion : versionOf(document), parent,
                   document.name, contents));
    expected[document.name] = contents;
  };
  auto createNew = [&](int i, const std::string& contents) {
    const std::string name = "new-" + std::to_string(i) + ".txt";
    const ItemPtr uploaded = known(200 + i);
    std::optional<ItemIdentifier> identifier;
    if (uploaded) identifier = uploaded->itemIdentifier();
    drive.queue().enqueue(drive.edit(200 + i, identifier,
                                     uploaded ? uploaded->itemVersion().contentVersion : "", parent,
                                     name, contents));
    expected[name] = contents;
  };
  for (int i = 0; i < 5; ++i) editExisting(i, "first edit of " + std::to_string(i));
  for (int i = 0; i < 12; ++i) createNew(i, "new file " + std::to_string(i));
  drive.drain(3);

  // More edits while some are still under way or waiting, then the worker dies and comes
  // back on the same state.
  for (int i = 0; i < 5; i += 2) editExisting(i, "second edit of " + std::to_string(i));
  for (int i = 0; i < 12; i += 3) {
    createNew(i, std::string(3000 + static_cast<std::size_t>(i), 'x') + std::to_string(i));
  }
  drive.drain(2);
  drive.close();
  drive.open();
  drive.drain(4);

  server.stop();
  server.start(kDemo);
  drive.queue().retryNow();
  ASSERT_TRUE(drive.drain(20));

  std::map<std::string, int> seen;
  for (const auto& document : topDocuments(client, ws)) {
    ++seen[document.name];
    EXPECT_EQ(document.name.find("(conflit"), std::string::npos) << document.name;
    auto it = expected.find(document.name);
    if (it != expected.end()) {
      EXPECT_EQ(client.downloadDocument(document.id), it->second) << document.name;
    }
  }
  for (const auto& [name, contents] : expected) EXPECT_EQ(seen[name], 1) << name;
  EXPECT_EQ(topDocuments(client, ws).size(), documentsBefore + 12);
  const UploadStatus status = drive.queue().status();
  EXPECT_EQ(status.pendingUploads, 0);
  EXPECT_EQ(status.refusedUploads, 0);
  EXPECT_EQ(status.conflicts, 0);
  EXPECT_FALSE(status.lastError);
  std::lock_guard lock(drive.recorder().mutex);
  EXPECT_TRUE(drive.recorder().copies.empty());
  // Every new file learnt its server identifier.
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(drive.recorder().uploads.count(200 + i)) << i;
    EXPECT_TRUE(drive.recorder().uploads[200 + i]->itemIdentifier().starts_with("do:"));
  }
}

TEST(UploadQueueCrash, EditsEnqueuedBeforeAKillArriveOnceAfterTheRestart) {
  RestartableServer server({"--demo", "--latency", "30", "--drop-rate", "0.2", "--seed", "9"});
  Drive drive(server);
  drive.close();
  const std::string ws = firstWorkspace(clientOf(server));
  constexpr int kFiles = 16;
  {
    BackgroundProcess worker({programPath("upload_queue_crash_child").string(),
                              drive.stateDirectory().string(), drive.secretsDirectory().string(),
                              server.baseURL(), "ws:" + ws, std::to_string(kFiles)});
    for (int i = 0; i < kFiles; ++i) ASSERT_EQ(worker.readLine(), "enqueued " + std::to_string(i));
    // Uploads are under way (each answer takes a while): the worker dies in the middle.
    EXPECT_EQ(worker.stop(SIGKILL), 128 + SIGKILL);
  }
  drive.open();
  drive.queue().retryNow();
  ASSERT_TRUE(drive.drain(30));
  server.stop();
  server.start(kDemo);
  const FoliumClient client = clientOf(server);
  std::map<std::string, int> seen;
  for (const auto& document : topDocuments(client, ws)) {
    if (!document.name.starts_with("crash-")) continue;
    ++seen[document.name];
    EXPECT_EQ(client.downloadDocument(document.id),
              "crash edit " + document.name.substr(6, document.name.size() - 10));
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kFiles));
  for (const auto& [name, count] : seen) EXPECT_EQ(count, 1) << name;
}

TEST(UploadQueueConflicts, NobodysWorkIsOverwritten) {
  RestartableServer server(kDemo);
  const FoliumClient client = clientOf(server);
  const std::string ws = firstWorkspace(client);

  enum class Meanwhile { nothing, changed, changedToTheSame, deleted };
  struct Case {
    const char* name;
    Meanwhile meanwhile;
    bool copy;  // a conflict copy holds the edit
  };
  const Case cases[] = {
      {"Seul.md", Meanwhile::nothing, false},
      {"Budget.md", Meanwhile::changed, true},
      {"Pareil.md", Meanwhile::changedToTheSame, false},
      {"Supprimé.md", Meanwhile::deleted, false},
  };
  Drive drive(server);
  LocalItemId item = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FoliumDocument original = client.createDocument(ws, std::nullopt, c.name, "base");
    const std::string edit = std::string("edit of ") + c.name;
    switch (c.meanwhile) {
      case Meanwhile::nothing:
        break;
      case Meanwhile::changed:
        client.updateDocumentContent(original.id, c.name, "someone else's");
        break;
      case Meanwhile::changedToTheSame:
        client.updateDocumentContent(original.id, c.name, edit);
        break;
      case Meanwhile::deleted:
        client.deleteDocument(original.id);
        break;
    }
    drive.queue().enqueue(
        drive.edit(item, "do:" + original.id, versionOf(original), "ws:" + ws, c.name, edit));
    ASSERT_TRUE(drive.drain(3));

    std::vector<FoliumDocument> named, copies;
    for (const auto& document : topDocuments(client, ws)) {
      const std::string stem = std::string(c.name).substr(0, std::string(c.name).size() - 3);
      if (document.name == c.name) named.push_back(document);
      if (document.name.starts_with(stem + " (conflit ")) copies.push_back(document);
    }
    ASSERT_EQ(named.size(), 1u);
    std::lock_guard lock(drive.recorder().mutex);
    if (c.copy) {
      EXPECT_EQ(client.downloadDocument(named[0].id), "someone else's");
      ASSERT_EQ(copies.size(), 1u);
      EXPECT_EQ(client.downloadDocument(copies[0].id), edit);
      EXPECT_TRUE(copies[0].name.ends_with(").md")) << copies[0].name;
      ASSERT_TRUE(drive.recorder().copies.count(item));
      EXPECT_EQ(drive.recorder().copies[item]->itemIdentifier(), "do:" + copies[0].id);
      EXPECT_EQ(drive.recorder().copyContents[item], edit);
      ASSERT_EQ(drive.recorder().notifications.size(), 1u);
      EXPECT_TRUE(drive.recorder().notifications[0].starts_with("Copie de conflit créée"));
    } else {
      EXPECT_EQ(client.downloadDocument(named[0].id), edit);
      EXPECT_TRUE(copies.empty());
      ASSERT_TRUE(drive.recorder().uploads.count(item));
      // A document deleted meanwhile comes back as a new one, which the item now follows.
      EXPECT_EQ(drive.recorder().uploads[item]->itemIdentifier(), "do:" + named[0].id);
      EXPECT_EQ(drive.recorder().uploads[item]->itemVersion().contentVersion, versionOf(named[0]));
    }
    ++item;
  }
  EXPECT_EQ(drive.queue().status().conflicts, 1);

  // The next close comes before the drive heard of the last upload (it hands over the old
  // base, or no identifier for a new file): still one document, and no copy.
  const FoliumDocument memo = client.createDocument(ws, std::nullopt, "Memo.md", "base");
  const LocalItemId newFile = item + 1;
  for (const char* contents : {"memo 1", "memo 2"}) {
    drive.queue().enqueue(
        drive.edit(item, "do:" + memo.id, versionOf(memo), "ws:" + ws, "Memo.md", contents));
    drive.queue().enqueue(drive.edit(newFile, std::nullopt, "", "ws:" + ws, "Nouveau.md",
                                     std::string("new ") + contents));
    ASSERT_TRUE(drive.drain(3));
  }
  EXPECT_EQ(client.downloadDocument(memo.id), "memo 2");
  std::vector<std::string> created;
  for (const auto& document : topDocuments(client, ws)) {
    if (document.name == "Nouveau.md") created.push_back(client.downloadDocument(document.id));
  }
  EXPECT_EQ(created, std::vector<std::string>{"new memo 2"});
  // What a drive restarted after the upload, never told, learns of the new file.
  {
    std::lock_guard lock(drive.recorder().mutex);
    const ItemPtr told = drive.recorder().uploads[newFile];
    ASSERT_TRUE(drive.queue().lastUpload(newFile));
    EXPECT_EQ(drive.queue().lastUpload(newFile)->identifier, told->itemIdentifier());
    EXPECT_EQ(drive.queue().lastUpload(newFile)->version, told->itemVersion().contentVersion);
  }
  EXPECT_EQ(drive.queue().status().conflicts, 1);
  item += 2;

  // The drive renames an edited file on the server before its edit could go: its own
  // rename is no conflict.
  const FoliumDocument plan = client.createDocument(ws, std::nullopt, "Plan.md", "base");
  server.stop();
  drive.queue().enqueue(
      drive.edit(item, "do:" + plan.id, versionOf(plan), "ws:" + ws, "Plan.md", "edit of Plan"));
  ASSERT_TRUE(drive.queue().waitUntilQuiet(kPatience));  // waits for a retry
  server.start(kDemo);
  const FoliumDocument renamed = client.renameDocument(plan.id, "Plan final.md");
  drive.queue().moved(item, "ws:" + ws, "Plan final.md", "Plan final.md", versionOf(plan),
                      versionOf(renamed));
  ASSERT_TRUE(drive.drain(3));
  EXPECT_EQ(client.downloadDocument(plan.id), "edit of Plan");
  EXPECT_EQ(drive.queue().status().conflicts, 1);
}

TEST(UploadQueueNewFiles, ScratchFilesStayLocalAndRefusalsAreKeptUntilTheNameChanges) {
  RestartableServer server(kDemo);
  const FoliumClient client = clientOf(server);
  const std::string ws = firstWorkspace(client);
  const std::string parent = "ws:" + ws;
  Drive drive(server);
  UploadQueue& queue = drive.queue();

  // Within the grace period: vanishes before reaching the server.
  queue.enqueue(drive.edit(1, std::nullopt, "", parent, "brouillon.txt", "short-lived"));
  // A lock file and a swap file: never sent while they live.
  queue.enqueue(drive.edit(2, std::nullopt, "", parent, ".~lock.Budget.md#", "lock"));
  queue.enqueue(drive.edit(3, std::nullopt, "", parent, ".Budget.md.swp", "swap"));
  // A name the server refuses for good.
  const std::string tooLong(300, 'n');
  queue.enqueue(drive.edit(4, std::nullopt, "", parent, tooLong, "kept"));
  // Edits that cannot be kept are refused at once, and nothing is queued.
  LocalEdit nameless = drive.edit(9, std::nullopt, "", parent, "x.txt", "x");
  nameless.filename.clear();
  EXPECT_THROW(queue.enqueue(nameless), std::invalid_argument);
  LocalEdit missing = drive.edit(9, std::nullopt, "", parent, "x.txt", "x");
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
  EXPECT_TRUE(queue.holds(4));
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

  // The user renames the file: it goes through. The lock file's owner saves and renames it
  // into a real document.
  drive.queue().moved(4, parent, "renommé.txt", "renommé.txt");
  drive.queue().moved(2, parent, "Budget.md", "Budget.md");
  ASSERT_TRUE(drive.drain(3));
  std::map<std::string, std::string> onServer;
  for (const auto& document : topDocuments(client, ws)) {
    onServer[document.name] = client.downloadDocument(document.id);
  }
  EXPECT_EQ(onServer.count("brouillon.txt"), 0u);
  EXPECT_EQ(onServer.count(".Budget.md.swp"), 0u);
  EXPECT_EQ(onServer["renommé.txt"], "kept");
  EXPECT_EQ(onServer["Budget.md"], "lock");
  EXPECT_EQ(drive.queue().status().refusedUploads, 0);
}

TEST(UploadQueueRetries, KeepComingAtMostAMinuteApartForAsLongAsItTakes) {
  RestartableServer server(kDemo);
  const std::string ws = firstWorkspace(clientOf(server));
  server.stop();
  Drive drive(server);
  drive.queue().enqueue(drive.edit(1, std::nullopt, "", "ws:" + ws, "Hors ligne.md", "offline"));
  // An hour offline: every attempt fails, none is dropped.
  for (int minute = 0; minute < 60; ++minute) {
    ASSERT_TRUE(drive.queue().waitUntilQuiet(kPatience));
    drive.clock().advance(60s);
  }
  ASSERT_TRUE(drive.queue().waitUntilQuiet(kPatience));
  EXPECT_EQ(drive.queue().status().pendingUploads, 1);
  EXPECT_TRUE(drive.queue().status().lastError);
  server.start(kDemo);
  drive.clock().advance(60s);
  EXPECT_TRUE(drive.queue().waitUntilIdle(kPatience));
}

TEST(UploadQueueRemoval, EditsLeftAreKeptAsideAndClearedOnceTheyArrive) {
  TempDir home;
  const char* previous = std::getenv("XDG_STATE_HOME");
  const std::string saved = previous ? previous : "";
  setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
  struct Restore {
    std::string value;
    bool had;
    ~Restore() { had ? setenv("XDG_STATE_HOME", value.c_str(), 1) : unsetenv("XDG_STATE_HOME"); }
  } restore{saved, previous != nullptr};

  RestartableServer server(kDemo);
  const FoliumClient client = clientOf(server);
  const std::string ws = firstWorkspace(client);
  const FoliumDocument document = client.createDocument(ws, std::nullopt, "Plan.md", "base");
  server.stop();

  Drive drive(server);
  LocalEdit edit =
      drive.edit(1, "do:" + document.id, versionOf(document), "ws:" + ws, "Plan.md", "edit");
  edit.path = "Projets/2027/Plan.md";
  drive.queue().enqueue(edit);
  LocalEdit created = drive.edit(2, std::nullopt, "", "ws:" + ws, "Idées.md", "idées");
  created.path = "Projets/Idées.md";
  drive.queue().enqueue(created);
  // Another edit shown at the same path (a file deleted and made again): both are kept.
  LocalEdit again = drive.edit(4, std::nullopt, "", "ws:" + ws, "Plan.md", "again");
  again.path = "Projets/2027/Plan.md";
  drive.queue().enqueue(again);
  // A path that tries to climb out of the folder it is kept in.
  LocalEdit climbing = drive.edit(3, std::nullopt, "", "ws:" + ws, "x.md", "x");
  climbing.path = "../../escape.md";
  drive.queue().enqueue(climbing);

  const KeptAside kept = drive.queue().finishForRemoval(200ms);
  EXPECT_EQ(kept.files, 4);
  EXPECT_EQ(kept.folder, home / "state" / "folium" / "unsynced" / "Test");
  EXPECT_EQ(readFile(kept.folder / "Projets" / "2027" / "Plan.md"), "edit");
  EXPECT_EQ(readFile(kept.folder / "Projets" / "2027" / "Plan (2).md"), "again");
  EXPECT_EQ(readFile(kept.folder / "Projets" / "Idées.md"), "idées");
  EXPECT_EQ(readFile(kept.folder / "_.." / "_.." / "escape.md"), "x");
  struct stat info {};
  ASSERT_EQ(::stat((kept.folder / "Projets" / "2027" / "Plan.md").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((kept.folder / "Projets").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  {
    std::lock_guard lock(drive.recorder().mutex);
    ASSERT_FALSE(drive.recorder().notifications.empty());
    EXPECT_TRUE(drive.recorder().notifications.back().starts_with("Modifications mises de côté"));
  }
  // The user changes one copy: that one is theirs and stays.
  writeFile(kept.folder / "Projets" / "Idées.md", "idées, revues à la main");

  // The domain is added again: the edits resume and their copies go.
  drive.close();
  server.start(kDemo);
  drive.open();
  ASSERT_TRUE(drive.drain(5));
  EXPECT_EQ(client.downloadDocument(document.id), "edit");
  EXPECT_FALSE(std::filesystem::exists(kept.folder / "Projets" / "2027"));
  EXPECT_FALSE(std::filesystem::exists(kept.folder / "_.."));
  EXPECT_EQ(readFile(kept.folder / "Projets" / "Idées.md"), "idées, revues à la main");
}

TEST(UploadQueueNames, ConflictCopiesKeepTheExtensionAndFitInAName) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  setenv("TZ", "UTC", 1);
  tzset();
  // 2026-12-06 14:32:05 UTC
  const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1796567525));
  const std::string longName = std::string(240, 'a') + "é" + std::string(10, 'b') + ".md";
  struct Case {
    std::string name;
    std::string copy;
  };
  const Case cases[] = {
      {"Budget.md", "Budget (conflit 2026-12-06 14-32-05).md"},
      {"README", "README (conflit 2026-12-06 14-32-05)"},
      {".bashrc", ".bashrc (conflit 2026-12-06 14-32-05)"},
      {"archive.tar.gz", "archive.tar (conflit 2026-12-06 14-32-05).gz"},
  };
  for (const auto& c : cases) EXPECT_EQ(UploadQueue::conflictCopyName(c.name, when), c.copy);
  // Too long for a name: the stem gives way, never half a character, the extension stays.
  const std::string copy = UploadQueue::conflictCopyName(longName, when);
  EXPECT_LE(copy.size(), 255u);
  EXPECT_TRUE(copy.ends_with(" (conflit 2026-12-06 14-32-05).md")) << copy;
  EXPECT_EQ(copy.find("\xC3 ("), std::string::npos);
  previous ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace folium::platform::drive

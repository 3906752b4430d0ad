// The drive, mounted for real against a real devserver: what a user sees with ls, cat, cp,
// wc, find and stat, how the drive follows the server, and how it behaves offline.

#include "platform/fileprovider/drive/drive.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "core/folium_client.hpp"
#include "platform/fileprovider/drive/errno_mapping.hpp"
#include "platform/fileprovider/drive/shown_names.hpp"
#include "platform/http/http_session.hpp"
#include "platform/sqlite/sqlite_database.hpp"
#include "platform/time/clock.hpp"
#include "tests/support/devserver.hpp"
#include "tests/support/process.hpp"

namespace folium::platform::drive {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProcess;
using testing::ProcessResult;
using testing::TempDir;
namespace fs = std::filesystem;

bool fuseAvailable() {
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool isMounted(const fs::path& mountPoint) {
  return testing::readFile("/proc/mounts").find(" " + mountPoint.string() + " fuse.folium ") !=
         std::string::npos;
}

// Waits for a condition that another thread brings about (no timing is asserted: the limit
// only keeps a broken drive from hanging the test).
bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The errno of opening `path` for reading (0 when it opens).
int openError(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// A devserver with the demo tree whose data outlives a stop, as a server that goes away and
// comes back.
struct Server : testing::Devserver {
  explicit Server(const TempDir& home) : Devserver({"--demo"}, home.path()) {}
  void restart() { start({"--demo"}); }
  // Names this server's interface refuses ("a/b", ".", a 300-byte name), as another server
  // may send them: written straight into its database.
  void setDocumentName(const std::string& id, const std::string& name) {
    SqliteDatabase db(dataDir() / "folium.sqlite3");
    db.prepare("UPDATE documents SET name = ?2 WHERE id = ?1").bind(1, id).bind(2, name).run();
  }
  FoliumClient client() const {
    return FoliumClient(FoliumConfig{Url::parse(baseURL()), token()}, sharedHttpSession());
  }
};

// A mounted drive for the domain of `server`, in an isolated HOME, with a fake clock. Always
// unmounted and stopped when the test ends, however it ends.
class MountedDrive {
 public:
  MountedDrive(const TempDir& home, std::string identifier, std::shared_ptr<FakeClock> clock)
      : mountPoint_(home / "home/Folium/Test"),
        state_(home / ("home/.local/state/folium/domains/" + identifier)) {
    DriveOptions options;
    options.domain = {std::move(identifier), "Test"};
    options.mountPoint = mountPoint_;
    options.stateDirectory = state_;
    options.clock = std::move(clock);
    fs::create_directories(mountPoint_);
    drive_ = makeDrive(std::move(options));
    runner_ = std::thread([this] {
      try {
        drive_->run();
      } catch (const std::exception& e) {
        failure_ = e.what();
      }
    });
    if (!eventually([&] { return isMounted(mountPoint_) || !failure_.empty(); })) {
      failure_ = "the drive did not mount";
    }
  }
  ~MountedDrive() {
    drive_->stop();
    auto ended = std::async(std::launch::async, [this] { runner_.join(); });
    if (ended.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "the drive did not stop; unmounting it from outside";
      testing::runProcess({"fusermount3", "-u", "-z", mountPoint_.string()});
    }
    ended.wait();
    if (isMounted(mountPoint_)) {
      ADD_FAILURE() << "the drive stayed mounted";
      testing::runProcess({"fusermount3", "-u", "-z", mountPoint_.string()});
    }
  }

  Drive& drive() { return *drive_; }
  const fs::path& root() const { return mountPoint_; }
  const fs::path& state() const { return state_; }
  const std::string& failure() const { return failure_; }

  ErrorPtr signal() {
    std::promise<ErrorPtr> done;
    drive_->signalEnumerator(std::string(NSFileProviderWorkingSetContainerItemIdentifier),
                             [&](ErrorPtr error) { done.set_value(std::move(error)); });
    return done.get_future().get();
  }
  std::optional<fs::path> url(const std::string& item) {
    std::promise<std::optional<fs::path>> done;
    drive_->userVisibleURL(
        item, [&](std::optional<fs::path> url, ErrorPtr) { done.set_value(std::move(url)); });
    return done.get_future().get();
  }

 private:
  fs::path mountPoint_;
  fs::path state_;
  std::unique_ptr<Drive> drive_;
  std::thread runner_;
  std::string failure_;
};

class DriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "/dev/fuse cannot be opened here";
    // The plug-in reads the profile store of this process's environment.
    for (const auto& [name, value] : home_.isolatedEnv()) {
      if (value.empty()) {
        ::unsetenv(name.c_str());
      } else {
        ::setenv(name.c_str(), value.c_str(), 1);
      }
    }
    server_ = std::make_unique<Server>(home_);
    const auto profile = server_->profilePath();
    const ProcessResult saved = testing::runProcess(
        {testing::programPath("foliumctl").string(), "store", "save", profile.string()},
        home_.isolatedEnv());
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    identifier_ = saved.out.substr(0, saved.out.find('\n'));
  }

  TempDir home_;
  std::unique_ptr<Server> server_;
  std::string identifier_;
  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>();
};

// The server's tree as paths below the drive's root, the way the drive names them.
std::set<std::string> serverTree(const FoliumClient& client) {
  std::set<std::string> paths;
  std::function<void(const std::string&, const std::optional<std::string>&,
                     const std::optional<std::string>&)>
      walk = [&](const std::string& at, const std::optional<std::string>& workspace,
                 const std::optional<std::string>& folder) {
        std::vector<NamedSibling> siblings;
        std::vector<std::optional<std::string>> subfolders;
        for (const Folder& f : client.listFolders(workspace, folder)) {
          if (folder || !f.documentsFolderId) {
            siblings.push_back({f.id, f.name});
            subfolders.push_back(f.id);
          }
        }
        for (const FoliumDocument& d : client.listDocuments(workspace, folder)) {
          if (folder || !d.documentsFolderId) {
            siblings.push_back({d.id, d.name});
            subfolders.push_back(std::nullopt);
          }
        }
        const auto names = shownNames(siblings);
        for (std::size_t i = 0; i < names.size(); ++i) {
          paths.insert(at + "/" + names[i]);
          if (subfolders[i]) walk(at + "/" + names[i], std::nullopt, subfolders[i]);
        }
      };
  for (const Workspace& w : client.listWorkspaces()) {
    paths.insert("/" + escapeName(w.label));
    walk("/" + escapeName(w.label), w.id, std::nullopt);
  }
  return paths;
}

std::set<std::string> mountedTree(const fs::path& root) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    paths.insert("/" + fs::relative(entry.path(), root).string());
  }
  return paths;
}

TEST_F(DriveTest, BrowsesReadsAndFollowsTheServerThenKeepsWorkingOffline) {
  const FoliumClient client = server_->client();
  const Workspace workspace = client.listWorkspaces().front();
  // Odd names, in a folder of their own; duplicates are made in identifier order.
  const Folder odd = client.createFolder(workspace.id, std::nullopt, "Noms");
  const std::string longStem(300, 'x');
  const std::string cut = std::string(255 - 4, 'x') + ".txt";
  struct Odd {
    std::string serverName;
    std::string shownName;
  };
  const std::vector<Odd> oddNames = {
      {"a/b.txt",
       "a\xE2\x88\x95"
       "b.txt"},
      {".", "_."},
      {"..", "_.."},
      {"", "_"},
      {longStem + ".txt", cut},
      {"dup.txt", "dup.txt"},
      {"dup.txt", "dup (2).txt"},
      {"dup.txt", "dup (3).txt"},
  };
  for (const auto& name : oddNames) {
    const FoliumDocument made =
        client.createDocument(workspace.id, odd.id, "odd", "odd " + name.serverName);
    server_->setDocumentName(made.id, name.serverName);
  }
  // A deep document in folders that nobody lists before its URL is asked for.
  const Folder a = client.createFolder(workspace.id, std::nullopt, "A");
  const Folder b = client.createFolder(workspace.id, a.id, "B");
  const Folder c = client.createFolder(workspace.id, b.id, "C");
  const FoliumDocument deep = client.createDocument(workspace.id, c.id, "deep.md", "# deep\n");

  auto mounted = std::make_unique<MountedDrive>(home_, identifier_, clock_);
  ASSERT_EQ(mounted->failure(), "");
  const fs::path root = mounted->root();
  const fs::path ws = root / escapeName(workspace.label);

  // The URL of the deep document lists its ancestors on the way.
  EXPECT_EQ(mounted->url(std::string(NSFileProviderRootContainerItemIdentifier)), root);
  EXPECT_EQ(mounted->url("do:" + deep.id), ws / "A/B/C/deep.md");
  EXPECT_EQ(mounted->url("do:999999"), std::nullopt);
  EXPECT_EQ(testing::readFile(ws / "A/B/C/deep.md"), "# deep\n");

  // The tree matches the server's, and `find` agrees.
  EXPECT_EQ(mountedTree(root), serverTree(client));
  const ProcessResult found = testing::runProcess({"find", root.string(), "-name", "deep.md"});
  EXPECT_EQ(found.out, (ws / "A/B/C/deep.md").string() + "\n");
  for (const auto& name : oddNames) {
    EXPECT_TRUE(fs::exists(ws / "Noms" / name.shownName)) << name.shownName;
  }
  EXPECT_EQ(testing::readFile(ws / "Noms/dup (2).txt"), "odd dup.txt");
  EXPECT_EQ(testing::readFile(ws / "Noms/_.."), "odd ..");

  // Sizes: the server's until fetched, even a wrong one; then stat, wc -c, cat and cp see
  // the whole contents, on the very first read of a file never opened.
  const FoliumDocument first = client.createDocument(workspace.id, std::nullopt, "first.txt",
                                                     std::string(100000, 'a') + "end");
  const FoliumDocument second = client.createDocument(workspace.id, std::nullopt, "second.txt",
                                                      std::string(70000, 'b') + "end");
  SqliteDatabase(server_->dataDir() / "folium.sqlite3")
      .prepare("UPDATE documents SET size = 1 WHERE id = ?1")
      .bind(1, first.id)
      .run();
  ASSERT_EQ(mounted->signal(), nullptr);
  EXPECT_EQ(fs::file_size(ws / "first.txt"), 1u);
  EXPECT_EQ(fs::file_size(ws / "second.txt"), 70003u);
  const ProcessResult counted = testing::runProcess({"wc", "-c", (ws / "first.txt").string()});
  EXPECT_EQ(counted.out.substr(0, counted.out.find(' ')), "100003");
  EXPECT_EQ(fs::file_size(ws / "first.txt"), 100003u);
  const ProcessResult copied =
      testing::runProcess({"cp", (ws / "second.txt").string(), (home_ / "copy.txt").string()});
  EXPECT_EQ(copied.exitCode, 0) << copied.err;
  EXPECT_EQ(testing::readFile(home_ / "copy.txt"), std::string(70000, 'b') + "end");
  const ProcessResult shown =
      testing::runProcess({"stat", "-c", "%s %a", (ws / "second.txt").string()});
  EXPECT_EQ(shown.out, "70003 644\n");
  // The cache is private.
  for (const auto& entry : fs::recursive_directory_iterator(mounted->state())) {
    const auto mode = fs::status(entry.path()).permissions() & fs::perms::all;
    EXPECT_EQ(mode, entry.is_directory() ? fs::perms::owner_all
                                         : fs::perms::owner_read | fs::perms::owner_write)
        << entry.path();
  }

  // Nothing can be changed yet, and nothing is.
  EXPECT_EQ(openError(ws / "first.txt"), 0);
  EXPECT_EQ(::mkdir((ws / "New").c_str(), 0700), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::open((ws / "new.txt").c_str(), O_CREAT | O_WRONLY, 0600), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::rename((ws / "first.txt").c_str(), (ws / "moved.txt").c_str()), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(::truncate((ws / "first.txt").c_str(), 0), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_EQ(client.getDocument(first.id).name, "first.txt");

  // Changes made on the server appear after a signal: a rename, new contents of a file
  // already read, a deletion, a new document; a document in a folder never listed is left
  // for when that folder is opened.
  const auto firstInode = fs::status(ws / "first.txt").type();
  struct stat before {};
  ASSERT_EQ(::stat((ws / "first.txt").c_str(), &before), 0);
  client.renameDocument(first.id, "renamed.txt");
  client.updateDocumentContent(second.id, "second.txt", "new contents");
  client.deleteDocument(deep.id);
  client.createDocument(workspace.id, odd.id, "late.txt", "late");
  const Folder unlisted = client.createFolder(workspace.id, std::nullopt, "Jamais");
  client.createDocument(workspace.id, unlisted.id, "inside.txt", "inside");
  ASSERT_EQ(mounted->signal(), nullptr);
  EXPECT_FALSE(fs::exists(ws / "first.txt"));
  struct stat after {};
  ASSERT_EQ(::stat((ws / "renamed.txt").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // the same file, under its new name
  (void)firstInode;
  EXPECT_EQ(testing::readFile(ws / "second.txt"), "new contents");
  EXPECT_FALSE(fs::exists(ws / "A/B/C/deep.md"));
  EXPECT_EQ(testing::readFile(ws / "Noms/late.txt"), "late");
  EXPECT_EQ(testing::readFile(ws / "Jamais/inside.txt"), "inside");

  // A poll, with no signal: the clock moves instead of the test waiting 30 s.
  client.renameDocument(first.id, "polled.txt");
  clock_->advance(30s);
  EXPECT_TRUE(eventually([&] { return fs::exists(ws / "polled.txt"); }));
  EXPECT_EQ(mounted->drive().status().state, DriveStatus::State::online);

  // Offline: what is listed can be browsed and what is downloaded read; a file never
  // downloaded says the network is unreachable, at once once the drive knows.
  const FoliumDocument never =
      client.createDocument(workspace.id, std::nullopt, "never.txt", "never read");
  ASSERT_EQ(mounted->signal(), nullptr);
  server_->stop();
  EXPECT_EQ(testing::readFile(ws / "second.txt"), "new contents");
  EXPECT_EQ(testing::readFile(ws / "Noms/dup (2).txt"), "odd dup.txt");
  EXPECT_EQ(mountedTree(ws / "Noms").size(), oddNames.size() + 1);
  EXPECT_EQ(openError(ws / "never.txt"), ENETUNREACH);
  EXPECT_EQ(mounted->drive().status().state, DriveStatus::State::offline);
  EXPECT_EQ(openError(ws / "never.txt"), ENETUNREACH);

  // The drive notices the server's return by itself.
  server_->restart();
  clock_->advance(30s);
  EXPECT_TRUE(
      eventually([&] { return mounted->drive().status().state == DriveStatus::State::online; }));
  EXPECT_EQ(testing::readFile(ws / "never.txt"), "never read");

  // Inode numbers and downloads survive a restart of the drive, even with the server gone.
  struct stat renamed {};
  ASSERT_EQ(::stat((ws / "polled.txt").c_str(), &renamed), 0);
  mounted.reset();
  server_->stop();
  mounted = std::make_unique<MountedDrive>(home_, identifier_, clock_);
  ASSERT_EQ(mounted->failure(), "");
  struct stat again {};
  ASSERT_EQ(::stat((ws / "polled.txt").c_str(), &again), 0);
  EXPECT_EQ(again.st_ino, renamed.st_ino);
  EXPECT_EQ(testing::readFile(ws / "never.txt"), "never read");

  // An anchor the plug-in cannot read any more: every listed folder is listed again, and
  // a new anchor taken.
  server_->restart();
  client.renameDocument(second.id, "relisted.txt");
  {
    SqliteDatabase replica(mounted->state() / "replica.sqlite");
    replica.exec("UPDATE state SET value = 'expired' WHERE key = 'anchor'");
  }
  ASSERT_EQ(mounted->signal(), nullptr);
  EXPECT_EQ(testing::readFile(ws / "relisted.txt"), "new contents");
  EXPECT_FALSE(fs::exists(ws / "second.txt"));
  EXPECT_TRUE(mounted->drive().status().anchor.value_or("").starts_with("v4:"));
}

TEST(DriveNames, EscapesAndSeparatesNamesTheSameWayEveryTime) {
  struct Case {
    std::vector<NamedSibling> siblings;
    std::vector<std::string> shown;
  };
  const std::string e300 = [] {
    std::string s;
    for (int i = 0; i < 150; ++i) s += "\xC3\xA9";  // "é", two bytes each
    return s;
  }();
  const std::vector<Case> cases = {
      {{{"1", "a/b"}, {"2", ""}, {"3", "."}, {"4", ".."}},
       {"a\xE2\x88\x95"
        "b",
        "_", "_.", "_.."}},
      // Identifier order decides, numerically, whatever order the listing came in.
      {{{"10", "x.md"}, {"9", "x.md"}, {"100", "x.md"}}, {"x (2).md", "x.md", "x (3).md"}},
      // A suffix never takes a name another item holds.
      {{{"1", "r.txt"}, {"2", "r.txt"}, {"3", "r (2).txt"}}, {"r.txt", "r (3).txt", "r (2).txt"}},
      // Cut at a character boundary, the extension kept.
      {{{"1", e300 + ".pdf"}}, {e300.substr(0, 250) + ".pdf"}},
      {{{"1", e300 + ".pdf"}, {"2", e300 + ".pdf"}},
       {e300.substr(0, 250) + ".pdf", e300.substr(0, 246) + " (2).pdf"}},
      // An item not on the server yet comes after those that are.
      {{{std::nullopt, "n"}, {"5", "n"}}, {"n (2)", "n"}},
  };
  for (const auto& test : cases) {
    const auto shown = shownNames(test.siblings);
    EXPECT_EQ(shown, test.shown);
    for (const auto& name : shown) EXPECT_LE(name.size(), kMaxNameBytes);
  }
}

TEST(DriveErrors, MapsEveryKindOfFailureToOneErrno) {
  auto make = [](std::string domain, std::int64_t code, UserInfo info = {}) {
    return std::make_shared<const ErrorObject>(std::move(domain), code, "x", std::move(info));
  };
  const std::string folium = "FoliumCore.FoliumError";
  const std::string transport = "FoliumCore.TransportError";
  const std::vector<std::pair<ErrorPtr, int>> cases = {
      {nullptr, 0},
      {make(std::string(NSFileProviderErrorDomain), -1000), EACCES},
      {make(std::string(NSFileProviderErrorDomain), -1005), ENOENT},
      {make(std::string(NSCocoaErrorDomain), 3328), EPERM},
      {make(folium, 0, {{"status", std::int64_t{404}}}), ENOENT},
      {make(folium, 0, {{"status", std::int64_t{401}}}), EACCES},
      {make(folium, 0, {{"status", std::int64_t{403}}}), EACCES},
      {make(folium, 0, {{"status", std::int64_t{500}}}), EIO},
      {make(folium, 1), EIO},
      {make(transport, 7, {{"kind", std::string("hostUnreachable")}}), ENETUNREACH},
      {make(transport, 28, {{"kind", std::string("timedOut")}}), ETIMEDOUT},
      {make(transport, 42, {{"kind", std::string("cancelled")}}), ECANCELED},
      {make(transport, 7, {{"kind", std::string("other")}}), EIO},
      {make(transport, 7), EIO},
      {make(std::string(NSPOSIXErrorDomain), ENOSPC), ENOSPC},
      {make("Elsewhere", 12), EIO},
  };
  for (const auto& [error, expected] : cases) {
    EXPECT_EQ(errnoFor(error), expected) << (error ? error->domain() : "none");
  }
}

}  // namespace
}  // namespace folium::platform::drive

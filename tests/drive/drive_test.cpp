// The drive, mounted for real against a real devserver: what a user sees with ls, cat, cp,
// wc, find and stat, how the drive follows the server, and how it behaves offline.

#include "platform/fileprovider/drive/drive.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "core/folium_client.hpp"
#include "platform/fileprovider/drive/errno_mapping.hpp"
#include "platform/fileprovider/drive/shown_names.hpp"
#include "platform/sqlite/sqlite_database.hpp"
#include "platform/time/clock.hpp"
#include "tests/drive/drive_fixture.hpp"
#include "tests/support/process.hpp"

namespace folium::platform::drive {
namespace {

// The file's status (zeros, and a failure, when it cannot be had).
struct stat statusOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status;
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
      {"a/b.txt", "a\u2215b.txt"},  // a division slash
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
  // A folder of more documents than one page of the server holds, one name shared between
  // the first page and the last (written straight into the server's data, with identifiers
  // of their own).
  const Folder large = client.createFolder(workspace.id, std::nullopt, "Grand");
  {
    SqliteDatabase data(server_->dataDir() / "folium.sqlite3");
    SqliteTransaction transaction(data);
    auto insert = data.prepare(
        "INSERT INTO documents(id, name, folder_id, workspace_id, content_type, size, "
        "created_at, updated_at) VALUES (1000000 + ?5, ?1, ?2, ?3, 'text/plain', 1, ?4, ?4)");
    for (int i = 0; i < 1500; ++i) {
      insert.reset();
      insert.bind(1, i == 0 || i == 1499 ? std::string("même.txt") : "n" + std::to_string(i))
          .bind(2, static_cast<std::int64_t>(std::stoll(large.id)))
          .bind(3, static_cast<std::int64_t>(std::stoll(workspace.id)))
          .bind(4, std::string("2026-12-06T20:31:07Z"))
          .bind(5, std::int64_t{i})
          .run();
    }
    transaction.commit();
  }

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
  for (const Workspace& w : client.listWorkspaces()) {
    EXPECT_EQ(mountedFiles(root / escapeName(w.label), false),
              serverFiles(client, w.id, {}, false));
  }
  const ProcessResult found = testing::runProcess({"find", root.string(), "-name", "deep.md"});
  EXPECT_EQ(found.out, (ws / "A/B/C/deep.md").string() + "\n");
  for (const auto& name : oddNames) {
    EXPECT_TRUE(fs::exists(ws / "Noms" / name.shownName)) << name.shownName;
  }
  EXPECT_EQ(mountedFiles(ws / "Grand", false).size(), 1500u);
  EXPECT_TRUE(fs::exists(ws / "Grand/même (2).txt"));
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
  // Nothing of a file not downloaded is on the disk: du counts what the cache holds.
  EXPECT_EQ(statusOf(ws / "second.txt").st_blocks, 0);
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
  EXPECT_EQ(statusOf(ws / "second.txt").st_blocks, (70003 + 511) / 512);
  // The cache is private.
  for (const auto& entry : fs::recursive_directory_iterator(mounted->state())) {
    const auto mode = fs::status(entry.path()).permissions() & fs::perms::all;
    EXPECT_EQ(mode, entry.is_directory() ? fs::perms::owner_all
                                         : fs::perms::owner_read | fs::perms::owner_write)
        << entry.path();
  }

  // Changes made on the server appear after a signal: a rename, new contents of a file
  // already read, a deletion, a new document; a document in a folder never listed is left
  // for when that folder is opened.
  const ino_t before = statusOf(ws / "first.txt").st_ino;
  client.renameDocument(first.id, "renamed.txt");
  client.updateDocumentContent(second.id, "second.txt", "new contents");
  client.deleteDocument(deep.id);
  client.createDocument(workspace.id, odd.id, "late.txt", "late");
  const Folder unlisted = client.createFolder(workspace.id, std::nullopt, "Jamais");
  client.createDocument(workspace.id, unlisted.id, "inside.txt", "inside");
  ASSERT_EQ(mounted->signal(), nullptr);
  EXPECT_FALSE(fs::exists(ws / "first.txt"));
  EXPECT_EQ(statusOf(ws / "renamed.txt").st_ino, before);  // the same file, under its new name
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
  EXPECT_EQ(mountedFiles(ws / "Noms", false).size(), oddNames.size() + 1);
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
  const ino_t renamed = statusOf(ws / "polled.txt").st_ino;
  mounted.reset();
  server_->stop();
  mounted = std::make_unique<MountedDrive>(home_, identifier_, clock_);
  ASSERT_EQ(mounted->failure(), "");
  EXPECT_EQ(statusOf(ws / "polled.txt").st_ino, renamed);
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
      {{{"1", "a/b"}, {"2", ""}, {"3", "."}, {"4", ".."}}, {"a\u2215b", "_", "_.", "_.."}},
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

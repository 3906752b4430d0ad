// Writing through the mounted drive, against a real devserver: what shells, editors and file
// tools do, the errors a refused change gives, and that no edit is lost to network faults,
// crashes of the worker or a second writer.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "platform/fileprovider/drive/shown_names.hpp"
#include "platform/files/file_descriptor.hpp"
#include "tests/drive/drive_fixture.hpp"

namespace folium::platform::drive {
namespace {

class DriveWriteTest : public DriveTest {
 protected:
  // Uploads everything waiting (moving the clock past grace periods and back-offs), then
  // takes the server's changes; false when edits are still waiting after that.
  bool settle(MountedDrive& mounted) {
    for (int round = 0; round < 40; ++round) {
      mounted.drive().retryNow();
      if (eventually([&] { return mounted.drive().status().pendingUploads == 0; }, 3s)) {
        return mounted.signal() == nullptr || mounted.drive().status().pendingUploads == 0;
      }
      clock_->advance(61s);
    }
    return false;
  }
};

int errorOf(int result) { return result == 0 ? 0 : errno; }

using Descriptor = platform::FileDescriptor;

ProcessResult shell(const std::string& command, const fs::path& in) {
  return testing::runProcess({"sh", "-c", "cd \"$0\" && " + command, in.string()});
}

TEST_F(DriveWriteTest, PosixCallsAndShellsChangeTheServerOrFailChangingNothing) {
  const FoliumClient client = server_->client();
  const auto workspaces = client.listWorkspaces();
  ASSERT_GE(workspaces.size(), 2u);
  const Folder base = client.createFolder(workspaces[0].id, std::nullopt, "Essais");
  const Folder elsewhere = client.createFolder(workspaces[1].id, std::nullopt, "Ailleurs");
  const FoliumDocument kept = client.createDocument(workspaces[0].id, base.id, "a.txt", "aaa");
  const FoliumDocument over = client.createDocument(workspaces[0].id, base.id, "b.txt", "bbb");
  const Folder full = client.createFolder(workspaces[0].id, base.id, "Plein");
  client.createFolder(workspaces[0].id, base.id, "Vide");
  MountedDrive mounted(home_, identifier_, clock_);
  ASSERT_EQ(mounted.failure(), "");
  const fs::path root = mounted.root();
  const fs::path dir = root / escapeName(workspaces[0].label) / "Essais";
  const fs::path other = root / escapeName(workspaces[1].label) / "Ailleurs";
  ASSERT_TRUE(fs::exists(dir / "a.txt"));
  client.createDocument(workspaces[0].id, full.id, "inside.txt", "only on the server");

  // Shell redirection, O_EXCL, O_APPEND, truncation, sparse writes, times and modes.
  ASSERT_EQ(shell("echo un > f.txt && echo deux >> f.txt && cat f.txt", dir).out, "un\ndeux\n");
  EXPECT_EQ(::open((dir / "f.txt").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600), -1);
  EXPECT_EQ(errno, EEXIST);
  int fd = ::open((dir / "f.txt").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pwrite(fd, "trois\n", 6, 0), 6);  // O_APPEND: at the end whatever the offset
  ::close(fd);
  EXPECT_EQ(errorOf(::truncate((dir / "f.txt").c_str(), 3)), 0);
  EXPECT_EQ(testing::readFile(dir / "f.txt"), "un\n");
  fd = ::open((dir / "sparse.bin").c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pwrite(fd, "x", 1, 99999), 1);
  EXPECT_EQ(errorOf(::ftruncate(fd, 200000)), 0);
  EXPECT_EQ(errorOf(::fsync(fd)), 0);
  ::close(fd);
  EXPECT_EQ(testing::readFile(dir / "sparse.bin"),
            std::string(99999, '\0') + "x" + std::string(100000, '\0'));
  EXPECT_EQ(errorOf(::chmod((dir / "a.txt").c_str(), 0600)), 0);
  EXPECT_EQ(errorOf(::chown((dir / "a.txt").c_str(), ::getuid(), ::getgid())), 0);
  const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  EXPECT_EQ(errorOf(::utimensat(AT_FDCWD, (dir / "f.txt").c_str(), times, 0)), 0);
  struct stat status {};
  ASSERT_EQ(::stat((dir / "f.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(status.st_size, 3);
  // A reader open while the file is written anew reads what is there now, and so does the
  // next open.
  {
    const Descriptor reader(::open((dir / "f.txt").c_str(), O_RDONLY));
    ASSERT_TRUE(reader);
    char seen[16] = {};
    EXPECT_EQ(::pread(reader.get(), seen, sizeof seen, 0), 3);
    const std::string rewritten = "réécrit";
    testing::writeFile(dir / "f.txt", rewritten);
    EXPECT_EQ(::pread(reader.get(), seen, sizeof seen, 0), static_cast<ssize_t>(rewritten.size()));
    EXPECT_EQ(std::string(seen, rewritten.size()), rewritten);
    EXPECT_EQ(testing::readFile(dir / "f.txt"), rewritten);
  }

  // Refused before any request, or by the server's rules; nothing changes.
  struct Refusal {
    std::function<int()> call;
    int error;
  };
  const fs::path workspace = root / escapeName(workspaces[0].label);
  const std::vector<Refusal> refusals = {
      {[&] { return errorOf(::link((dir / "a.txt").c_str(), (dir / "l").c_str())); }, EPERM},
      {[&] { return errorOf(::symlink("a.txt", (dir / "s").c_str())); }, EPERM},
      {[&] { return errorOf(::mkdir((root / "Nouveau").c_str(), 0700)); }, EPERM},
      {[&] { return errorOf(::open((root / "n.txt").c_str(), O_CREAT | O_WRONLY, 0600)); }, EPERM},
      {[&] { return errorOf(::rename(workspace.c_str(), (root / "W").c_str())); }, EPERM},
      {[&] { return errorOf(::rmdir(workspace.c_str())); }, EPERM},
      {[&] { return errorOf(::rename((dir / "Vide").c_str(), (dir / "Plein").c_str())); },
       ENOTEMPTY},
      {[&] { return errorOf(::rmdir((dir / "Plein").c_str())); }, ENOTEMPTY},
      {[&] { return errorOf(::rename((dir / "a.txt").c_str(), (other / "a.txt").c_str())); },
       EXDEV},
  };
  for (std::size_t i = 0; i < refusals.size(); ++i) {
    EXPECT_EQ(refusals[i].call(), refusals[i].error) << "refusal " << i;
  }
  EXPECT_EQ(testing::readFile(dir / "Plein/inside.txt"), "only on the server");
  // The top says it takes nothing (file managers then offer no trash there), workspaces do.
  EXPECT_EQ(fs::status(root).permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_NE(fs::status(workspace).permissions() & fs::perms::owner_write, fs::perms::none);

  // Names through the server: a folder, a move with a new name, a rename over a document,
  // `mv` across workspaces (copy and delete), deletions.
  ASSERT_EQ(errorOf(::mkdir((dir / "Dossier").c_str(), 0700)), 0);
  ASSERT_EQ(errorOf(::rename((dir / "a.txt").c_str(), (dir / "Dossier/c.txt").c_str())), 0);
  EXPECT_EQ(client.getDocument(kept.id).name, "c.txt");
  EXPECT_EQ(errorOf(::rmdir((dir / "Dossier").c_str())), ENOTEMPTY);
  // A folder renamed over an empty one replaces it (one never listed, one just made).
  EXPECT_EQ(errorOf(::rename((dir / "Dossier").c_str(), (dir / "Vide").c_str())), 0);
  ASSERT_EQ(errorOf(::mkdir((dir / "Dossier").c_str(), 0700)), 0);
  EXPECT_EQ(errorOf(::rename((dir / "Vide").c_str(), (dir / "Dossier").c_str())), 0);
  EXPECT_EQ(testing::readFile(dir / "Dossier/c.txt"), "aaa");
  ASSERT_EQ(shell("echo nouveau > n.txt && mv n.txt b.txt", dir).exitCode, 0);
  EXPECT_EQ(testing::readFile(dir / "b.txt"), "nouveau\n");
  EXPECT_EQ(client.getDocument(over.id).name, "b.txt");  // it stays the same document
  // Saved over and read back at once, again and again: the name never points nowhere.
  for (int i = 0; i < 50; ++i) {
    testing::writeFile(dir / "n.txt", std::to_string(i));
    ASSERT_EQ(errorOf(::rename((dir / "n.txt").c_str(), (dir / "b.txt").c_str())), 0);
    ASSERT_EQ(testing::readFile(dir / "b.txt"), std::to_string(i));
  }
  EXPECT_EQ(testing::runProcess({"mv", (dir / "sparse.bin").string(), other.string()}).exitCode, 0);
  EXPECT_EQ(errorOf(::unlink((dir / "Plein/inside.txt").c_str())), 0);
  EXPECT_EQ(errorOf(::rmdir((dir / "Plein").c_str())), 0);
  // A folder made and filled, then removed with rm -r at once.
  const ProcessResult removed =
      shell("mkdir Notes && echo a > Notes/a && mv Notes/a Notes/b && rm -r Notes", dir);
  EXPECT_EQ(removed.exitCode, 0) << removed.err;

  // Offline: edits and new files wait, names fail at once.
  ASSERT_TRUE(settle(mounted));
  server_->stop();
  testing::writeFile(dir / "b.txt", "hors ligne");
  testing::writeFile(dir / "offline.txt", "nouveau hors ligne");
  EXPECT_EQ(errorOf(::mkdir((dir / "Refus").c_str(), 0700)), ENETUNREACH);
  EXPECT_EQ(errorOf(::unlink((dir / "Dossier/c.txt").c_str())), ENETUNREACH);
  EXPECT_EQ(errorOf(::rename((dir / "Dossier").c_str(), (dir / "D2").c_str())), ENETUNREACH);
  EXPECT_GT(mounted.drive().status().pendingUploads, 0);
  server_->restart();
  clock_->advance(30s);
  ASSERT_TRUE(settle(mounted));

  EXPECT_EQ(client.downloadDocument(over.id), "hors ligne");
  EXPECT_EQ(serverFiles(client, workspaces[0].id, base.id), mountedFiles(dir));
  EXPECT_EQ(serverFiles(client, workspaces[1].id, elsewhere.id), mountedFiles(other));
  EXPECT_EQ(mountedFiles(other)["sparse.bin"].size(), 200000u);
}

TEST_F(DriveWriteTest, EditorsSaveIntoTheSameDocument) {
  const FoliumClient client = server_->client();
  const Workspace workspace = client.listWorkspaces().front();
  const Folder base = client.createFolder(workspace.id, std::nullopt, "Éditeurs");
  const FoliumDocument notes =
      client.createDocument(workspace.id, base.id, "notes.md", "premier\n");
  const FoliumDocument report = client.createDocument(workspace.id, base.id, "report.odt", "v1");
  MountedDrive mounted(home_, identifier_, clock_);
  ASSERT_EQ(mounted.failure(), "");
  const fs::path dir = mounted.root() / escapeName(workspace.label) / "Éditeurs";
  ASSERT_EQ(testing::readFile(dir / "notes.md"), "premier\n");

  // GIO writes a temporary file and renames it over the document (as gedit saves).
  ProcessResult saved =
      testing::runProcess({"gio", "save", (dir / "notes.md").string()}, {}, "gio\n");
  ASSERT_EQ(saved.exitCode, 0) << saved.err;
  // vim, its default settings, in ex mode.
  saved = testing::runProcess({"vim", "-u", "DEFAULTS", "-i", "NONE", "-n", "-es", "-c",
                               "%s/gio/vim/", "-c", "wq", (dir / "notes.md").string()});
  ASSERT_EQ(saved.exitCode, 0) << saved.err;
  EXPECT_EQ(testing::readFile(dir / "notes.md"), "vim\n");
  // The office lock pattern: a lock file while the document is open, a save through a
  // temporary file, the lock removed at the end; the lock outlives a grace period.
  testing::writeFile(dir / ".~lock.report.odt#", ",user,host,2026;");
  ASSERT_TRUE(settle(mounted));
  testing::writeFile(dir / "lu12345.tmp", "v2");
  ASSERT_EQ(errorOf(::rename((dir / "lu12345.tmp").c_str(), (dir / "report.odt").c_str())), 0);
  ASSERT_TRUE(settle(mounted));
  ASSERT_EQ(errorOf(::unlink((dir / ".~lock.report.odt#").c_str())), 0);
  // cp -p and rsync -a, a first time and again over what they wrote.
  const fs::path native = home_ / "native";
  fs::create_directories(native / "sub");
  testing::writeFile(native / "copied.txt", "cp -p");
  testing::writeFile(native / "sub/synced.txt", "rsync 1");
  ASSERT_EQ(
      testing::runProcess({"cp", "-p", (native / "copied.txt").string(), dir.string()}).exitCode,
      0);
  for (const char* contents : {"rsync 1", "rsync 2, longer"}) {
    testing::writeFile(native / "sub/synced.txt", contents);
    const ProcessResult synced = testing::runProcess(
        {"rsync", "-a", (native / "sub").string() + "/", (dir / "Sync").string() + "/"});
    ASSERT_EQ(synced.exitCode, 0) << synced.err;
    ASSERT_TRUE(settle(mounted));
  }
  struct stat copied {
  }, original{};
  ASSERT_EQ(::stat((dir / "copied.txt").c_str(), &copied), 0);
  ASSERT_EQ(::stat((native / "copied.txt").c_str(), &original), 0);
  EXPECT_EQ(copied.st_mtim.tv_sec, original.st_mtim.tv_sec);

  // One document each, with the new contents; no scratch file reached the server.
  EXPECT_EQ(client.downloadDocument(notes.id), "vim\n");
  EXPECT_EQ(client.downloadDocument(report.id), "v2");
  const auto files = serverFiles(client, workspace.id, base.id);
  EXPECT_EQ(files, (std::map<std::string, std::string>{{"Sync/", ""},
                                                       {"Sync/synced.txt", "rsync 2, longer"},
                                                       {"copied.txt", "cp -p"},
                                                       {"notes.md", "vim\n"},
                                                       {"report.odt", "v2"}}));
  EXPECT_EQ(files, mountedFiles(dir));
}

// A rename waits for the item's upload under way. Once its caller has been told it failed
// (the time limit passed first), it must not be made anyway when the upload ends.
TEST_F(DriveWriteTest, ARenameReportedAsFailedIsNotMadeLater) {
  const FoliumClient client = server_->client();
  const Workspace workspace = client.listWorkspaces().front();
  const FoliumDocument document =
      client.createDocument(workspace.id, std::nullopt, "lent.txt", "v1");
  MountedDrive mounted(home_, identifier_, clock_);
  ASSERT_EQ(mounted.failure(), "");
  const fs::path dir = mounted.root() / escapeName(workspace.label);
  ASSERT_EQ(testing::readFile(dir / "lent.txt"), "v1");
  server_->stop();
  server_->restart({"--latency", "3000"});

  testing::writeFile(dir / "lent.txt", "v2");  // uploaded at once, the server slow to answer
  std::this_thread::sleep_for(1s);
  auto renamed = std::async(std::launch::async, [&dir] {
    return errorOf(::rename((dir / "lent.txt").c_str(), (dir / "renommé.txt").c_str()));
  });
  ASSERT_EQ(renamed.wait_for(300ms), std::future_status::timeout);  // behind the upload
  clock_->advance(31s);
  EXPECT_EQ(renamed.get(), ETIMEDOUT);

  // The upload ends, and what waited for it runs then: a rename would have landed after 3 s.
  ASSERT_TRUE(eventually([&] { return mounted.drive().status().pendingUploads == 0; }, 10s));
  std::this_thread::sleep_for(4s);
  server_->stop();
  server_->restart();
  ASSERT_TRUE(settle(mounted));
  const FoliumDocument now = client.getDocument(document.id);
  EXPECT_EQ(now.name, "lent.txt");
  EXPECT_EQ(client.downloadDocument(document.id), "v2");
  EXPECT_EQ(testing::readFile(dir / "lent.txt"), "v2");
  EXPECT_FALSE(fs::exists(dir / "renommé.txt"));
}

TEST_F(DriveWriteTest, MixedEditsUnderNetworkFaultsAllArriveOnce) {
  const FoliumClient client = server_->client();
  const Workspace workspace = client.listWorkspaces().front();
  const Folder base = client.createFolder(workspace.id, std::nullopt, "Fautes");
  client.createFolder(workspace.id, base.id, "A");
  client.createFolder(workspace.id, base.id, "B");
  MountedDrive mounted(home_, identifier_, clock_);
  ASSERT_EQ(mounted.failure(), "");
  const fs::path dir = mounted.root() / escapeName(workspace.label) / "Fautes";
  ASSERT_EQ(mountedFiles(dir).size(), 2u);  // listed before the faults begin
  server_->stop();
  server_->restart({"--fail-rate", "0.3", "--drop-rate", "0.1"});

  // What the test knows for sure: files whose every change was acknowledged.
  std::map<std::string, std::string> known;
  std::set<std::string> unsure;
  std::mt19937 random(20261207);
  const std::vector<std::string> folders = {"", "A/", "B/"};
  auto pick = [&]() -> std::optional<std::string> {
    if (known.empty()) return std::nullopt;
    auto it = known.begin();
    std::advance(it, random() % known.size());
    return it->first;
  };
  constexpr int kEdits = 200;
  for (int i = 0; i < kEdits; ++i) {
    const std::string contents = "edit " + std::to_string(i) + std::string(random() % 5000, 'x');
    const auto chosen = pick();
    const int kind = chosen ? static_cast<int>(random() % 6) : 0;
    if (kind == 0) {
      const std::string path = folders[random() % 3] + "f" + std::to_string(i) + ".txt";
      testing::writeFile(dir / path, contents);
      known[path] = contents;
    } else if (kind == 1 || kind == 2) {
      const int fd = ::open((dir / *chosen).c_str(), O_WRONLY | (kind == 1 ? O_TRUNC : O_APPEND));
      const bool written = fd >= 0 && ::write(fd, contents.data(), contents.size()) ==
                                          static_cast<ssize_t>(contents.size());
      const bool closed = fd >= 0 && ::close(fd) == 0;
      if (written && closed) {
        known[*chosen] = kind == 1 ? contents : known[*chosen] + contents;
      } else {
        unsure.insert(*chosen);
        known.erase(*chosen);
      }
    } else if (kind == 3 || kind == 4) {
      const std::string target =
          (kind == 3 ? fs::path(*chosen).parent_path().string() + "/" : folders[random() % 3]) +
          "r" + std::to_string(i) + ".txt";
      const std::string clean = target.front() == '/' ? target.substr(1) : target;
      if (::rename((dir / *chosen).c_str(), (dir / clean).c_str()) == 0) {
        known[clean] = known[*chosen];
      } else {
        // A rename and move may stop halfway: the new name, in the old folder.
        const std::string folder = fs::path(*chosen).parent_path().string();
        const std::string halfway = fs::path(clean).filename().string();
        unsure.insert(clean);
        unsure.insert(*chosen);
        unsure.insert(folder.empty() ? halfway : folder + "/" + halfway);
      }
      known.erase(*chosen);
    } else {
      if (::unlink((dir / *chosen).c_str()) != 0) unsure.insert(*chosen);
      known.erase(*chosen);
    }
    // Retries and probes of an offline drive come with time.
    if (i % 20 == 19) clock_->advance(5s);
  }

  server_->stop();
  server_->restart();
  clock_->advance(30s);
  ASSERT_TRUE(settle(mounted));
  const auto mounted_ = mountedFiles(dir);
  const auto onServer = serverFiles(client, workspace.id, base.id);
  EXPECT_EQ(onServer, mounted_);
  for (const auto& [path, contents] : known) {
    const auto found = mounted_.find(path);
    ASSERT_NE(found, mounted_.end()) << path;
    EXPECT_EQ(found->second, contents) << path;
  }
  for (const auto& [path, contents] : onServer) {
    EXPECT_EQ(path.find("conflit"), std::string::npos) << path;
    EXPECT_EQ(path.find(" (2)"), std::string::npos) << path;  // a duplicate's name
    if (!path.ends_with("/")) {
      EXPECT_TRUE(known.contains(path) || unsure.contains(path)) << path;
    }
  }
  EXPECT_EQ(mounted.drive().status().conflicts, 0);
}

// The drive under a cache bound that keeps nothing it need not: a second writer, the server's
// refusal and the cache's evictions all leave every version readable.
TEST_F(DriveWriteTest, NeitherASecondWriterNorARefusalLosesAnEdit) {
  const FoliumClient client = server_->client();
  const Workspace workspace = client.listWorkspaces().front();
  const FoliumDocument shared =
      client.createDocument(workspace.id, std::nullopt, "partage.txt", "début");
  client.createDocument(workspace.id, std::nullopt, "autre.txt", "autre");
  const FoliumDocument cut =
      client.createDocument(workspace.id, std::nullopt, "court.txt", "0123456789");
  const FoliumDocument emptied =
      client.createDocument(workspace.id, std::nullopt, "vidé.txt", "jamais lu");
  MountedDrive mounted(home_, identifier_, clock_, 1);
  ASSERT_EQ(mounted.failure(), "");
  const fs::path ws = mounted.root() / escapeName(workspace.label);
  // Two readers, each evicting the other's document as it fetches its own: an open never
  // finds its contents gone under it.
  std::vector<std::string> misread;
  std::mutex misreadMutex;
  auto reader = [&](const std::string& name, const std::string& contents) {
    for (int i = 0; i < 250; ++i) {
      std::string problem = name + ": other contents";
      try {
        if (testing::readFile(ws / name) == contents) continue;
      } catch (const std::exception& e) {
        problem = e.what();
      }
      std::lock_guard lock(misreadMutex);
      misread.push_back(problem);
    }
  };
  std::thread other(reader, "autre.txt", "autre");
  // truncate(2) too: shortening needs the contents, which the readers keep evicting.
  std::vector<int> truncateErrors;
  for (int i = 0; i < 30; ++i) {
    if (::truncate((ws / "court.txt").c_str(), 4) != 0) truncateErrors.push_back(errno);
  }
  reader("partage.txt", "début");
  other.join();
  EXPECT_EQ(misread, std::vector<std::string>{});
  EXPECT_EQ(truncateErrors, std::vector<int>{});
  // Emptying one never downloaded needs nothing from the server.
  EXPECT_EQ(errorOf(::truncate((ws / "vidé.txt").c_str(), 0)), 0);
  ASSERT_TRUE(settle(mounted));
  EXPECT_EQ(client.downloadDocument(cut.id), "0123");
  EXPECT_EQ(client.downloadDocument(emptied.id), "");
  // Someone else saves first, through the command line; then the drive's user saves.
  testing::writeFile(home_ / "theirs.txt", "leur version");
  const ProcessResult theirs =
      testing::runProcess({testing::programPath("foliumctl").string(), "api", "update-document",
                           shared.id, "--name", "partage.txt", (home_ / "theirs.txt").string()},
                          home_.isolatedEnv());
  ASSERT_EQ(theirs.exitCode, 0) << theirs.err;
  testing::writeFile(ws / "partage.txt", "ma version");
  ASSERT_TRUE(settle(mounted));

  EXPECT_EQ(client.downloadDocument(shared.id), "leur version");
  std::map<std::string, std::string> copies;
  for (const FoliumDocument& d : client.listDocuments(workspace.id, std::nullopt)) {
    if (d.name.starts_with("partage (conflit ")) copies[d.name] = client.downloadDocument(d.id);
  }
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies.begin()->second, "ma version");
  EXPECT_TRUE(copies.begin()->first.ends_with(").txt"));
  EXPECT_EQ(testing::readFile(ws / "partage.txt"), "leur version");
  EXPECT_EQ(testing::readFile(ws / copies.begin()->first), "ma version");
  EXPECT_EQ(mounted.drive().status().conflicts, 1);

  // An upload the server refuses for good (a name that is not UTF-8) is kept and told, and
  // goes once the name is mended.
  const fs::path refused = ws / "refus\xff.txt";
  testing::writeFile(refused, "gardé");
  ASSERT_TRUE(settle(mounted));
  const DriveStatus status = mounted.drive().status();
  EXPECT_EQ(status.refusedUploads, 1);
  // The server's reason is told, not only its status.
  EXPECT_EQ(status.lastError.value_or(""), "http status 400: the file name is not valid UTF-8");
  EXPECT_EQ(testing::readFile(refused), "gardé");
  ASSERT_EQ(errorOf(::rename(refused.c_str(), (ws / "refus.txt").c_str())), 0);
  ASSERT_TRUE(settle(mounted));
  EXPECT_EQ(mounted.drive().status().refusedUploads, 0);
  EXPECT_EQ(testing::readFile(ws / "refus.txt"), "gardé");
  EXPECT_EQ(serverFiles(client, workspace.id, {})["refus.txt"], "gardé");
}

TEST_F(DriveWriteTest, RandomOperationsMatchANativeFile) {
  const FoliumClient client = server_->client();
  const Workspace workspace = client.listWorkspaces().front();
  MountedDrive mounted(home_, identifier_, clock_);
  ASSERT_EQ(mounted.failure(), "");
  const fs::path ws = mounted.root() / escapeName(workspace.label);
  constexpr off_t kMaxSize = 300 * 1024;
  for (const unsigned seed : {1u, 2u, 3u}) {
    const fs::path mine = ws / ("fsx" + std::to_string(seed) + ".bin");
    const fs::path native = home_ / ("fsx" + std::to_string(seed) + ".bin");
    std::mt19937 random(seed);
    // Closed however the test ends: the drive cannot stop while they are open.
    Descriptor a(::open(mine.c_str(), O_RDWR | O_CREAT, 0600));
    Descriptor b(::open(native.c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_TRUE(a && b);
    // A reader open all along sees every change too; `a` is open for writing only at times.
    const Descriptor reader(::open(mine.c_str(), O_RDONLY));
    ASSERT_TRUE(reader);
    bool aReads = true;
    auto compare = [&](off_t offset, size_t length, int op) {
      std::string x(length, '\0'), y(length, '\0');
      const ssize_t nx =
          ::pread((aReads && random() % 2 ? a : reader).get(), x.data(), length, offset);
      const ssize_t ny = ::pread(b.get(), y.data(), length, offset);
      EXPECT_EQ(nx, ny) << "seed " << seed << " op " << op;
      return nx == ny && x == y;
    };
    for (int op = 0; op < 300; ++op) {
      const off_t size = ::lseek(b.get(), 0, SEEK_END);
      const off_t offset = static_cast<off_t>(random() % kMaxSize);
      const size_t length = 1 + random() % 65536;
      switch (random() % 6) {
        case 0:
        case 1: {  // write, often past the end (a hole)
          std::string data(std::min<size_t>(length, kMaxSize - offset), '\0');
          for (auto& c : data) c = static_cast<char>('a' + random() % 26);
          ASSERT_EQ(::pwrite(a.get(), data.data(), data.size(), offset),
                    static_cast<ssize_t>(data.size()));
          ASSERT_EQ(::pwrite(b.get(), data.data(), data.size(), offset),
                    static_cast<ssize_t>(data.size()));
          break;
        }
        case 2:  // truncate, shorter or longer
          ASSERT_EQ(::ftruncate(a.get(), offset), 0);
          ASSERT_EQ(::ftruncate(b.get(), offset), 0);
          break;
        case 3:
          ASSERT_TRUE(compare(offset, length, op)) << "seed " << seed << " op " << op;
          break;
        case 4: {  // read through a mapping
          if (size == 0) break;
          void* map = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED,
                             (aReads ? a : reader).get(), 0);
          ASSERT_NE(map, MAP_FAILED);
          std::string y(static_cast<size_t>(size), '\0');
          ASSERT_EQ(::pread(b.get(), y.data(), y.size(), 0), size);
          const bool same = std::memcmp(map, y.data(), y.size()) == 0;
          ::munmap(map, static_cast<size_t>(size));
          ASSERT_TRUE(same) << "seed " << seed << " op " << op;
          break;
        }
        default:  // close and open again, now and then truncating
          ASSERT_EQ(a.close(), 0);
          const int truncate = random() % 4 == 0 ? O_TRUNC : 0;
          aReads = random() % 3 != 0;
          a.reset(::open(mine.c_str(), (aReads ? O_RDWR : O_WRONLY) | truncate));
          b.reset(::open(native.c_str(), O_RDWR | truncate));
          ASSERT_TRUE(a) << "seed " << seed << " op " << op;
          break;
      }
    }
    const off_t size = ::lseek(b.get(), 0, SEEK_END);
    EXPECT_TRUE(compare(0, static_cast<size_t>(size) + 1, -1)) << "seed " << seed;
  }
  ASSERT_TRUE(settle(mounted));
  for (const FoliumDocument& d : client.listDocuments(workspace.id, std::nullopt)) {
    if (!d.name.starts_with("fsx")) continue;
    EXPECT_EQ(client.downloadDocument(d.id), testing::readFile(home_ / d.name)) << d.name;
  }
}

// A drive worker in a process of its own, killed with SIGKILL while it uploads and while a
// file is open for writing, then started again: every edit arrives, once.
TEST_F(DriveWriteTest, EditsSurviveAKilledWorker) {
  const FoliumClient client = server_->client();
  const Workspace workspace = client.listWorkspaces().front();
  const Folder crash = client.createFolder(workspace.id, std::nullopt, "Crash");
  const FoliumDocument existing =
      client.createDocument(workspace.id, crash.id, "existant.txt", "avant");
  client.createDocument(workspace.id, crash.id, "ouvert.txt", "avant");
  client.createDocument(workspace.id, crash.id, "intact.txt", "avant");
  const fs::path mountPoint = home_ / "home/Folium/Test";
  fs::create_directories(mountPoint);
  const fs::path state = home_ / ("home/.local/state/folium/domains/" + identifier_);
  const std::vector<std::string> argv = {testing::programPath("folium-drive-runner").string(),
                                         "--domain",
                                         identifier_,
                                         "--name",
                                         "Test",
                                         "--mount",
                                         mountPoint.string(),
                                         "--state",
                                         state.string()};
  const timespec touched[2] = {{1000000000, 0}, {1000000000, 0}};
  struct Unmount {
    fs::path at;
    ~Unmount() {
      if (isMounted(at)) testing::runProcess({"fusermount3", "-u", "-z", at.string()});
    }
  } unmount{mountPoint};
  const fs::path dir = mountPoint / escapeName(workspace.label) / "Crash";
  std::map<std::string, std::string> edits{
      {"existant.txt", "après"}, {"ouvert.txt", "écrit, jamais fermé"}, {"intact.txt", "avant"}};
  for (int i = 0; i < 8; ++i) {
    edits["gros" + std::to_string(i) + ".bin"] = std::string(3 << 20, static_cast<char>('a' + i));
  }
  {
    BackgroundProcess worker(argv, home_.isolatedEnv());
    ASSERT_TRUE(eventually([&] { return isMounted(mountPoint); }));
    // Written and synced by its writer, which still holds it open when the worker dies.
    const Descriptor open(::open((dir / "ouvert.txt").c_str(), O_RDWR));
    const Descriptor untouched(::open((dir / "intact.txt").c_str(), O_RDWR));
    ASSERT_TRUE(open && untouched) << std::strerror(errno);
    const std::string& unsaved = edits["ouvert.txt"];
    ASSERT_EQ(::pwrite(open.get(), unsaved.data(), unsaved.size(), 0),
              static_cast<ssize_t>(unsaved.size()));
    ASSERT_EQ(::fsync(open.get()), 0) << std::strerror(errno);
    // A time set on an edit not sent yet outlives the worker too.
    ASSERT_EQ(::futimens(open.get(), touched), 0) << std::strerror(errno);
    for (const auto& [name, contents] : edits) {
      if (name != "ouvert.txt" && name != "intact.txt") testing::writeFile(dir / name, contents);
    }
    // Killed once the first uploads reach the server.
    ASSERT_TRUE(
        eventually([&] { return client.listDocuments(std::nullopt, crash.id).size() > 2; }, 60s));
    worker.stop(SIGKILL);
  }
  testing::runProcess({"fusermount3", "-u", "-z", mountPoint.string()});
  {
    // Only what was written waits to be handed over: a file opened and left as it was has
    // nothing to send (sent again, it could make a needless conflict copy).
    SqliteDatabase replica(state / "replica.sqlite");
    auto marked = replica.prepare(
        "SELECT server_name FROM items JOIN unsent_edits ON items.id = unsent_edits.item_id");
    std::set<std::string> names;
    while (marked.step()) names.insert(marked.text(0));
    EXPECT_EQ(names, std::set<std::string>{"ouvert.txt"});
  }
  {
    BackgroundProcess worker(argv, home_.isolatedEnv());
    ASSERT_TRUE(eventually([&] { return isMounted(mountPoint); }));
    const bool arrived = eventually(
        [&] {
          const auto docs = client.listDocuments(std::nullopt, crash.id);
          if (docs.size() < edits.size()) return false;
          for (const auto& d : docs) {
            const auto edit = edits.find(d.name);
            if (edit == edits.end() || client.downloadDocument(d.id) != edit->second) return false;
          }
          return true;
        },
        120s);
    EXPECT_TRUE(arrived);
    EXPECT_EQ(client.listDocuments(std::nullopt, crash.id).size(), edits.size());
    EXPECT_EQ(client.getDocument(existing.id).name, "existant.txt");
    struct stat status {};
    ASSERT_EQ(::stat((dir / "ouvert.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, touched[0].tv_sec);
    worker.stop(SIGTERM);
  }
  EXPECT_FALSE(isMounted(mountPoint));
}

}  // namespace
}  // namespace folium::platform::drive

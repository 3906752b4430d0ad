// What the drive's mount tests share: a devserver that can go away and come back, a drive
// mounted in an isolated HOME with a fake clock, and waiting without asserting on time.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/folium_client.hpp"
#include "platform/fileprovider/drive/drive.hpp"
#include "platform/fileprovider/drive/shown_names.hpp"
#include "platform/fileprovider/service/mount_table.hpp"
#include "platform/sqlite/sqlite_database.hpp"
#include "platform/time/clock.hpp"
#include "tests/support/devserver.hpp"
#include "tests/support/process.hpp"

namespace folium::platform::drive {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProcess;
using testing::eventually;
using testing::ProcessResult;
using testing::TempDir;
namespace fs = std::filesystem;

bool isMounted(const fs::path& mountPoint) {
  return testing::readFile("/proc/mounts").find(" " + mountPoint.string() + " fuse.folium ") !=
         std::string::npos;
}

// The errno of opening `path` for reading (0 when it opens).
[[maybe_unused]] int openError(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// A devserver with the demo tree whose data outlives a stop, as a server that goes away and
// comes back.
struct Server : testing::Devserver {
  explicit Server(const TempDir& home) : Devserver({"--demo"}, home.path()) {}
  void restart(const std::vector<std::string>& faults = {}) {
    std::vector<std::string> args{"--demo"};
    args.insert(args.end(), faults.begin(), faults.end());
    start(args);
  }
  // Names this server's interface refuses ("a/b", ".", a 300-byte name), as another server
  // may send them: written straight into its database.
  void setDocumentName(const std::string& id, const std::string& name) {
    SqliteDatabase db(dataDir() / "folium.sqlite3");
    db.prepare("UPDATE documents SET name = ?2 WHERE id = ?1").bind(1, id).bind(2, name).run();
  }
};

// A mounted drive for the domain of `server`, in an isolated HOME, with a fake clock. Always
// unmounted and stopped when the test ends, however it ends.
class MountedDrive {
 public:
  MountedDrive(const TempDir& home, std::string identifier, std::shared_ptr<FakeClock> clock,
               std::optional<std::int64_t> cacheLimit = std::nullopt)
      : mountPoint_(home / "home/Folium/Test"),
        state_(home / ("home/.local/state/folium/domains/" + identifier)) {
    DriveOptions options;
    options.domain = {std::move(identifier), "Test"};
    options.mountPoint = mountPoint_;
    options.stateDirectory = state_;
    options.clock = std::move(clock);
    options.cacheLimit = cacheLimit;
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
      // A file the test still holds open keeps the session alive: fail what it waits on.
      ADD_FAILURE() << "the drive did not stop; aborting its connection";
      platform::service::abortFuseConnection(mountPoint_);
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

// Every folder (as "path/") and document below `folder`, or below the workspace's top when
// there is none, at the path the drive shows it at, with the document's contents when
// `contents` is set.
inline std::map<std::string, std::string> serverFiles(const FoliumClient& client,
                                                      const std::string& workspace,
                                                      const std::optional<std::string>& folder,
                                                      bool contents = true) {
  std::map<std::string, std::string> files;
  std::function<void(const std::string&, const std::optional<std::string>&)> walk =
      [&](const std::string& at, const std::optional<std::string>& parent) {
        const auto inWorkspace = parent ? std::nullopt : std::optional(workspace);
        std::vector<NamedSibling> siblings;
        std::vector<std::pair<bool, std::string>> ids;
        for (const Folder& f : client.listFolders(inWorkspace, parent)) {
          if (parent || !f.documentsFolderId) {
            siblings.push_back({f.id, f.name});
            ids.emplace_back(true, f.id);
          }
        }
        for (const FoliumDocument& d : client.listDocuments(inWorkspace, parent)) {
          if (parent || !d.documentsFolderId) {
            siblings.push_back({d.id, d.name});
            ids.emplace_back(false, d.id);
          }
        }
        const auto names = shownNames(siblings);
        for (std::size_t i = 0; i < names.size(); ++i) {
          if (ids[i].first) {
            files[at + names[i] + "/"] = "";
            walk(at + names[i] + "/", ids[i].second);
          } else {
            files[at + names[i]] = contents ? client.downloadDocument(ids[i].second) : "";
          }
        }
      };
  walk("", folder);
  return files;
}

// The same, read through the mount below `root`.
inline std::map<std::string, std::string> mountedFiles(const fs::path& root, bool contents = true) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    if (entry.is_directory()) {
      files[relative + "/"] = "";
    } else {
      files[relative] = contents ? testing::readFile(entry.path()) : "";
    }
  }
  return files;
}

class DriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::fuseAvailable()) GTEST_SKIP() << "/dev/fuse cannot be opened here";
    // The plug-in reads the profile store of this process's environment.
    env_.emplace(home_.isolatedEnv());
    server_ = std::make_unique<Server>(home_);
    const auto profile = server_->profilePath();
    const ProcessResult saved = testing::runProcess(
        {testing::programPath("foliumctl").string(), "store", "save", profile.string()},
        home_.isolatedEnv());
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    identifier_ = saved.out.substr(0, saved.out.find('\n'));
  }

  TempDir home_;
  std::optional<testing::ScopedEnv> env_;
  std::unique_ptr<Server> server_;
  std::string identifier_;
  std::shared_ptr<FakeClock> clock_ = std::make_shared<FakeClock>();
};

}  // namespace
}  // namespace folium::platform::drive

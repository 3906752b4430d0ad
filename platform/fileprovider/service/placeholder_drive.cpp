// A stand-in drive until the real one lands: mounts an empty, read-only folder and answers
// the worker's calls, so the service can be run and tested end to end. Removed once the
// drive library provides makeDrive.
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/fileprovider/drive/drive.hpp"

namespace folium::platform::drive {
namespace {

void getattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
  if (inode != FUSE_ROOT_ID) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  struct stat attributes {};
  attributes.st_ino = FUSE_ROOT_ID;
  attributes.st_mode = S_IFDIR | 0500;
  attributes.st_nlink = 2;
  attributes.st_uid = ::getuid();
  attributes.st_gid = ::getgid();
  fuse_reply_attr(request, &attributes, 1.0);
}

void lookup(fuse_req_t request, fuse_ino_t, const char*) { fuse_reply_err(request, ENOENT); }

void readdir(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info*) {
  if (inode != FUSE_ROOT_ID) {
    fuse_reply_err(request, ENOTDIR);
    return;
  }
  std::vector<char> buffer(size);
  std::size_t used = 0;
  const char* names[] = {".", ".."};
  for (off_t i = offset; i < 2; ++i) {
    struct stat entry {};
    entry.st_ino = FUSE_ROOT_ID;
    entry.st_mode = S_IFDIR;
    const std::size_t length =
        fuse_add_direntry(request, buffer.data() + used, size - used, names[i], &entry, i + 1);
    if (length > size - used) break;
    used += length;
  }
  fuse_reply_buf(request, buffer.data(), used);
}

class PlaceholderDrive final : public Drive {
 public:
  explicit PlaceholderDrive(DriveOptions options) : options_(std::move(options)) {}
  ~PlaceholderDrive() override {
    for (auto& thread : threads_) thread.join();
  }

  void run() override {
    fuse_lowlevel_ops operations{};
    operations.getattr = getattr;
    operations.lookup = lookup;
    operations.readdir = readdir;
    const char* argv[] = {"folium", "-o", "fsname=folium,subtype=folium,default_permissions"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    fuse_session* session = fuse_session_new(&args, &operations, sizeof operations, this);
    fuse_opt_free_args(&args);
    if (session == nullptr) throw std::runtime_error("cannot start the drive's file system");
    if (fuse_session_mount(session, options_.mountPoint.c_str()) != 0) {
      fuse_session_destroy(session);
      throw std::runtime_error("cannot mount the drive at " + options_.mountPoint.string());
    }
    session_ = session;
    state_ = DriveStatus::State::online;
    if (!stopping_) fuse_session_loop(session);
    session_ = nullptr;
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    state_ = DriveStatus::State::stopped;
  }

  void stop() noexcept override {
    stopping_ = true;
    if (fuse_session* session = session_) fuse_session_exit(session);
  }

  void signalEnumerator(const ItemIdentifier&,
                        std::function<void(ErrorPtr)> completionHandler) override {
    later([done = std::move(completionHandler)] { done(nullptr); });
  }

  void userVisibleURL(const ItemIdentifier& item,
                      std::function<void(std::optional<std::filesystem::path>, ErrorPtr)>
                          completionHandler) override {
    std::optional<std::filesystem::path> url;
    if (item == NSFileProviderRootContainerItemIdentifier) url = options_.mountPoint;
    later([done = std::move(completionHandler), url] { done(url, nullptr); });
  }

  DriveStatus status() const override {
    DriveStatus status;
    status.state = state_;
    return status;
  }

  void retryNow() override {}

  bool pin(const std::filesystem::path&, bool, std::string& error) override {
    error = "this drive keeps nothing offline";
    return false;
  }

 private:
  void later(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    threads_.emplace_back(std::move(work));
  }

  DriveOptions options_;
  std::atomic<fuse_session*> session_{nullptr};
  std::atomic<bool> stopping_{false};
  std::atomic<DriveStatus::State> state_{DriveStatus::State::starting};
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

}  // namespace

std::unique_ptr<Drive> makeDrive(DriveOptions options) {
  return std::make_unique<PlaceholderDrive>(std::move(options));
}

}  // namespace folium::platform::drive

// The drive's cache: its bound, what is pinned, and what removing the domain leaves.

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <future>
#include <set>

#include "platform/fileprovider/drive/fuse_drive.hpp"

namespace folium::platform::drive {
namespace {

constexpr std::int64_t kMaxCacheBytes = std::int64_t{10} << 30;

// The numbers of the contents files this process has open: those of the files open in the
// drive (each open file holds a descriptor on its contents).
std::set<std::int64_t> openContentFiles(const std::filesystem::path& contents) {
  std::set<std::int64_t> numbers;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code unreadable;
    const auto target = std::filesystem::read_symlink(entry.path(), unreadable);
    if (unreadable || target.parent_path() != contents) continue;
    const std::string name = target.filename().string();
    std::int64_t number = 0;
    const auto [end, failed] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (failed == std::errc()) numbers.insert(number);
  }
  return numbers;
}

}  // namespace

std::int64_t FuseDrive::cacheLimit(std::int64_t used) const {
  if (options_.cacheLimit) return *options_.cacheLimit;
  struct statvfs disk {};
  if (::statvfs(options_.stateDirectory.c_str(), &disk) != 0) return kMaxCacheBytes;
  // What the cache holds counts as space it may use: the bound does not shrink as it fills.
  const auto available =
      static_cast<std::int64_t>(disk.f_bavail) * static_cast<std::int64_t>(disk.f_frsize);
  return std::min(kMaxCacheBytes, (available + used) / 5);
}

void FuseDrive::requestTrim() {
  {
    std::lock_guard lock(mutex_);
    if (trimQueued_) return;
    trimQueued_ = true;
  }
  post([this] {
    {
      std::lock_guard lock(mutex_);
      trimQueued_ = false;
    }
    trimCache();
  });
}

void FuseDrive::trimCache() {
  // From the replica, not the disk: this runs after every download.
  const auto entries = replica_->cachedContents();
  std::int64_t total = 0;
  for (const auto& entry : entries) total += entry.bytes;
  const std::int64_t limit = cacheLimit(total);
  if (total <= limit) return;
  const auto open = openContentFiles(replica_->contentsPath(0).parent_path());
  for (std::size_t i = 0; i < entries.size() && total > limit; ++i) {
    const auto& entry = entries[i];
    if (open.contains(entry.contentFile) || replica_->pinnedFrom(entry.id) || editWaits(entry.id)) {
      continue;
    }
    if (replica_->evict(entry)) total -= entry.bytes;
  }
}

void FuseDrive::keepPinnedFetched() {
  std::vector<std::uint64_t> waiting = replica_->pinnedItems();
  std::set<std::uint64_t> seen;
  while (!waiting.empty() && !stopping_ && !offline_) {
    const std::uint64_t id = waiting.back();
    waiting.pop_back();
    if (!seen.insert(id).second) continue;
    const auto item = replica_->item(id);
    if (!item || !item->identifier) continue;
    if (item->isContainer()) {
      if (!item->childrenListed) {
        if (ErrorPtr error = listNow(id)) {
          noteFailure(error);
          continue;
        }
      }
      for (const auto& child : replica_->children(id)) waiting.push_back(child.id);
    } else if (!item->contentsCurrent()) {
      std::promise<int> fetched;
      ensureFetched(id, [&fetched](int error) { fetched.set_value(error); });
      fetched.get_future().wait();
    }
  }
}

void FuseDrive::maintainCache() {
  keepPinnedFetched();
  trimCache();
}

bool FuseDrive::pin(const std::filesystem::path& path, bool pinned, std::string& error) {
  const auto normal = path.lexically_normal();
  const auto relative = normal.lexically_relative(options_.mountPoint);
  if (relative.empty() || *relative.begin() == "..") {
    error = normal.string() + " is not in the drive " + options_.mountPoint.string();
    return false;
  }
  // The kernel finds the item as any program would (listing what was never listed); its
  // inode number is its id in the replica.
  struct stat drive {};
  struct stat item {};
  if (::stat(options_.mountPoint.c_str(), &drive) != 0 || ::stat(normal.c_str(), &item) != 0) {
    error = "cannot find " + normal.string() + ": " + std::strerror(errno);
    return false;
  }
  if (item.st_dev != drive.st_dev) {
    error = normal.string() + " is not in the drive " + options_.mountPoint.string();
    return false;
  }
  const std::uint64_t id = item.st_ino;
  try {
    const auto from = replica_->pinnedFrom(id);
    if (!pinned && from && *from != id) {
      const auto folder = replica_->relativePath(*from);
      error = normal.string() + " stays downloaded because " +
              (options_.mountPoint / folder.value_or("")).lexically_normal().string() +
              " is pinned; unpin that folder instead";
      return false;
    }
    replica_->setPinned(id, pinned);
  } catch (const std::exception& e) {
    error =
        std::string("cannot ") + (pinned ? "pin " : "unpin ") + normal.string() + ": " + e.what();
    return false;
  }
  if (pinned) {
    post([this] { keepPinnedFetched(); });
  } else {
    requestTrim();
  }
  return true;
}

bool FuseDrive::editWaits(std::uint64_t id) const {
  return queue_->holds(id) || openFile(id) || replica_->edited(id);
}

Drive::Leftovers FuseDrive::prepareForRemoval(std::chrono::milliseconds bound) {
  const KeptAside kept = queue_->finishForRemoval(bound);
  const UploadStatus uploads = queue_->status();
  Leftovers left;
  left.keptAside = kept.files;
  left.folder = kept.folder;
  left.pendingUploads = uploads.pendingUploads + uploads.refusedUploads;
  return left;
}

}  // namespace folium::platform::drive

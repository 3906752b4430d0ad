#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/fileprovider/domain.hpp"
#include "platform/fileprovider/error_object.hpp"
#include "platform/fileprovider/item_identifier.hpp"
#include "platform/time/clock.hpp"

namespace folium::platform::drive {

// How a drive is doing, as `foliumctl status` and the tray show it.
struct DriveStatus {
  enum class State { starting, online, offline, stopped, error };
  State state = State::starting;
  std::int64_t pendingUploads = 0;       // edits waiting for the server or under way
  std::int64_t refusedUploads = 0;       // edits the server refused for good, kept
  std::int64_t conflicts = 0;            // conflict copies made since the drive started
  std::optional<std::string> lastError;  // the last failed attempt, when the last one failed
  std::optional<std::string> anchor;     // the stored sync anchor
};

// What the worker process hands a drive.
struct DriveOptions {
  FileProviderDomain domain;
  std::filesystem::path mountPoint;      // ~/Folium/<display name, escaped and made unique>
  std::filesystem::path stateDirectory;  // $XDG_STATE_HOME/folium/domains/<identifier>
  std::chrono::seconds pollInterval{30};
  // Bytes of cached contents kept at most; none: 10 GiB or a fifth of the space the cache
  // could use on its disk, whichever is smaller. Pinned, open and edited files stay whatever
  // the bound.
  std::optional<std::int64_t> cacheLimit;
  // Polls and retries are timed by this clock; none: the system clock. Tests hand in a fake.
  std::shared_ptr<Clock> clock;
};

// One registered domain served as a folder: the plug-in, the domain's replica and content
// cache, and the FUSE mount. The worker process owns exactly one.
//
// Threading: run() is called once, from the worker's main thread, and returns when the
// drive is unmounted (by stop(), or by `fusermount3 -u` from outside). Every other method
// may be called from any thread while run() runs, including before the mount is up; their
// completion handlers are called exactly once, on a thread of the drive's.
class Drive {
 public:
  Drive() = default;
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;
  virtual ~Drive() = default;

  // Mounts and serves until unmounted. Throws std::runtime_error naming the mount point
  // when the mount cannot be made.
  virtual void run() = 0;
  // Unmounts cleanly (finishing what is under way) and makes run() return. Async-signal
  // safe, so a SIGTERM handler may call it.
  virtual void stop() noexcept = 0;

  // Enumerate changes again now (the working set or the root).
  virtual void signalEnumerator(const ItemIdentifier& container,
                                std::function<void(ErrorPtr error)> completionHandler) = 0;
  // The absolute path of the item in the mount (the root container: the mount point),
  // looking up and listing ancestors never listed; none when the item does not exist.
  virtual void userVisibleURL(
      const ItemIdentifier& item,
      std::function<void(std::optional<std::filesystem::path> url, ErrorPtr error)>
          completionHandler) = 0;

  [[nodiscard]] virtual DriveStatus status() const = 0;
  // Retry pending work (uploads, the change feed) at once instead of at its next back-off.
  virtual void retryNow() = 0;
  // Keep a file or folder (and all under it) downloaded and never evicted, or let the cache
  // evict it again (and all under it); false with the reason in `error` when `path` is not
  // in this drive, or is kept by a pinned folder above it. Downloads go on in the background.
  virtual bool pin(const std::filesystem::path& path, bool pinned, std::string& error) = 0;

  // What removing the domain left of its edits.
  struct Leftovers {
    std::int64_t keptAside = 0;  // edits copied to `folder`, still waiting in the state
    std::filesystem::path folder;
    std::int64_t pendingUploads = 0;  // edits still waiting, refused ones included
  };
  // The domain is being removed: tries to send the waiting edits for at most `bound`, then
  // copies what is left where the user finds it (and tells them). The edits stay in the
  // drive's state, so adding the domain again resumes them.
  virtual Leftovers prepareForRemoval(std::chrono::milliseconds bound) = 0;
};

// The drive of a domain, building the plug-in's extension for it from the process's profile
// store (FOLIUM_SECRET_STORE) and HTTP session. Makes no request and mounts nothing yet.
std::unique_ptr<Drive> makeDrive(DriveOptions options);

}  // namespace folium::platform::drive

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace folium::platform {

// A counter of work done that a callback hands back to the service at once and advances
// later, from whatever thread finishes the work. Thread-safe: any thread may read, set or
// wait at any time.
class Progress {
 public:
  // Told every value the completed count is set to, in the order of the sets.
  using Observer = std::function<void(std::int64_t completed, std::int64_t total)>;

  explicit Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}
  static std::shared_ptr<Progress> withTotalUnitCount(std::int64_t totalUnitCount) {
    return std::make_shared<Progress>(totalUnitCount);
  }

  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  std::int64_t totalUnitCount() const noexcept { return total_; }
  std::int64_t completedUnitCount() const noexcept {
    return completed_.load(std::memory_order_acquire);
  }
  bool isFinished() const noexcept { return completedUnitCount() >= total_; }

  void setCompletedUnitCount(std::int64_t completed);

  // Installs the observer. The work may have set the count before its owner could install
  // one (the progress only reaches its owner when the callback returns), so those earlier
  // sets are replayed first. The observer runs under the progress's lock, which keeps the
  // calls in order; it must not call back into this progress.
  void setObserver(Observer observer);

  // Blocks until the count reaches the total or `timeout` passes; true when it reached it.
  bool waitUntilFinished(std::chrono::milliseconds timeout) const;

 private:
  const std::int64_t total_;
  std::atomic<std::int64_t> completed_{0};
  mutable std::mutex mutex_;  // guards observer_ and earlierSets_
  mutable std::condition_variable changed_;
  Observer observer_;
  std::vector<std::int64_t> earlierSets_;  // sets made while no observer was installed
};

}  // namespace folium::platform

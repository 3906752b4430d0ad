#include "platform/fileprovider/progress.hpp"

#include <utility>

namespace folium::platform {

void Progress::setCompletedUnitCount(std::int64_t completed) {
  {
    std::lock_guard lock(mutex_);
    completed_.store(completed, std::memory_order_release);
    if (observer_) {
      observer_(completed, total_);
    } else {
      earlierSets_.push_back(completed);
    }
  }
  changed_.notify_all();
}

void Progress::setObserver(Observer observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
  if (!observer_) return;
  const std::vector<std::int64_t> earlier = std::exchange(earlierSets_, {});
  for (const std::int64_t completed : earlier) observer_(completed, total_);
}

bool Progress::waitUntilFinished(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return isFinished(); });
}

}  // namespace folium::platform

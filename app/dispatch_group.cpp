#include "app/dispatch_group.hpp"

namespace folium::app {

std::shared_ptr<DispatchGroup> DispatchGroup::make(std::shared_ptr<MainThreadPoster> mainThread) {
  return std::shared_ptr<DispatchGroup>(new DispatchGroup(std::move(mainThread)));
}

void DispatchGroup::enter() {
  std::lock_guard lock(mutex_);
  ++outstanding_;
}

void DispatchGroup::leave() {
  std::unique_lock lock(mutex_);
  if (outstanding_ == 0) return;
  if (--outstanding_ == 0) postWaiting(std::move(lock));
}

void DispatchGroup::notify(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  waiting_.push_back(std::move(task));
  if (outstanding_ == 0) postWaiting(std::move(lock));
}

void DispatchGroup::postWaiting(std::unique_lock<std::mutex> lock) {
  std::vector<std::function<void()>> tasks = std::move(waiting_);
  waiting_.clear();
  lock.unlock();
  for (auto& task : tasks) mainThread_->post(std::move(task));
}

}  // namespace folium::app

#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "app/main_thread.hpp"

namespace folium::app {

// Counts the outstanding requests of one fan-out (a repair, a reconciliation) and runs the
// waiting tasks on the main thread once every enter() has been matched by a leave().
//
// Threading: enter(), leave() and notify() may be called from any thread. A task given to
// notify() while nothing is outstanding is posted at once. Each task runs once.
class DispatchGroup {
 public:
  static std::shared_ptr<DispatchGroup> make(std::shared_ptr<MainThreadPoster> mainThread);

  void enter();
  // More leave() calls than enter() calls are a programming error; the extra ones are
  // ignored rather than firing the tasks twice.
  void leave();
  void notify(std::function<void()> task);

 private:
  explicit DispatchGroup(std::shared_ptr<MainThreadPoster> mainThread)
      : mainThread_(std::move(mainThread)) {}
  void postWaiting(std::unique_lock<std::mutex> lock);

  std::shared_ptr<MainThreadPoster> mainThread_;
  std::mutex mutex_;  // guards the two fields below
  int outstanding_ = 0;
  std::vector<std::function<void()>> waiting_;
};

}  // namespace folium::app

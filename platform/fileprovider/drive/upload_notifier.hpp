#pragma once

#include <memory>
#include <string>

namespace folium::platform::drive {

// Tells the user what the drive did with their edits when they need to know: a conflict
// copy, a refused upload, edits kept aside. Thread-safe; never throws.
class UploadNotifier {
 public:
  UploadNotifier() = default;
  UploadNotifier(const UploadNotifier&) = delete;
  UploadNotifier& operator=(const UploadNotifier&) = delete;
  virtual ~UploadNotifier() = default;

  virtual void notify(const std::string& summary, const std::string& body) noexcept = 0;
};

// Desktop notifications (org.freedesktop.Notifications on the session bus, through GIO). Where
// there is no session bus, or nobody shows notifications, it stays silent. Each notification
// waits at most two seconds for the bus.
std::shared_ptr<UploadNotifier> makeDesktopNotifier();

}  // namespace folium::platform::drive

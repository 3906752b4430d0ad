#include "platform/desktop/workspace_fake.hpp"

#include <algorithm>

namespace folium::platform {

std::vector<std::string> FakeWorkspace::opened() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

void FakeWorkspace::install(DesktopApplication application) {
  std::lock_guard lock(mutex_);
  installed_.push_back(std::move(application));
}

void FakeWorkspace::failWith(std::string message) {
  std::lock_guard lock(mutex_);
  failure_ = std::move(message);
}

WorkspaceResult FakeWorkspace::record(std::string entry) {
  std::lock_guard lock(mutex_);
  if (!failure_.empty()) return {false, failure_};
  opened_.push_back(std::move(entry));
  return {};
}

WorkspaceResult FakeWorkspace::openURL(const std::string& url) { return record("url " + url); }

WorkspaceResult FakeWorkspace::openPath(const std::filesystem::path& path) {
  return record("path " + path.string());
}

std::optional<DesktopApplication> FakeWorkspace::applicationForId(std::string_view desktopFileId) {
  std::lock_guard lock(mutex_);
  auto found = std::find_if(installed_.begin(), installed_.end(),
                            [&](const auto& app) { return app.desktopFileId == desktopFileId; });
  if (found == installed_.end()) return std::nullopt;
  return *found;
}

WorkspaceResult FakeWorkspace::openFiles(const std::vector<std::filesystem::path>& files,
                                         const DesktopApplication& application) {
  std::string entry = "app " + application.desktopFileId;
  for (const auto& file : files) entry += " " + file.string();
  return record(std::move(entry));
}

}  // namespace folium::platform

#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/desktop/workspace.hpp"

namespace folium::platform {

// A workspace that records what it was asked to open instead of starting anything, for
// tests. Applications are "installed" by the test. Thread-safe.
class FakeWorkspace final : public Workspace {
 public:
  // One request, in a form a test can compare: "url https://…", "path /x/y",
  // "app fr.quenor.scrivel.desktop /x/a.md".
  std::vector<std::string> opened() const;
  void install(DesktopApplication application);
  // Every later request fails with `message`.
  void failWith(std::string message);

  WorkspaceResult openURL(const std::string& url) override;
  WorkspaceResult openPath(const std::filesystem::path& path) override;
  std::optional<DesktopApplication> applicationForId(std::string_view desktopFileId) override;
  WorkspaceResult openFiles(const std::vector<std::filesystem::path>& files,
                            const DesktopApplication& application) override;

 private:
  WorkspaceResult record(std::string entry);

  mutable std::mutex mutex_;  // guards everything below
  std::vector<std::string> opened_;
  std::vector<DesktopApplication> installed_;
  std::string failure_;
};

}  // namespace folium::platform

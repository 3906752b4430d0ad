#pragma once

#include "platform/desktop/workspace.hpp"

namespace folium::platform {

// The desktop's workspace through GIO: default handlers from the MIME and URL scheme
// associations, applications from the installed desktop files (XDG_DATA_DIRS and
// XDG_DATA_HOME).
class GioWorkspace final : public Workspace {
 public:
  WorkspaceResult openURL(const std::string& url) override;
  WorkspaceResult openPath(const std::filesystem::path& path) override;
  std::optional<DesktopApplication> applicationForId(std::string_view desktopFileId) override;
  WorkspaceResult openFiles(const std::vector<std::filesystem::path>& files,
                            const DesktopApplication& application) override;
};

}  // namespace folium::platform

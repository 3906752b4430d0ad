#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace folium::platform {

// An application installed on the desktop, known by its desktop-file id.
struct DesktopApplication {
  std::string desktopFileId;  // "fr.quenor.scrivel.desktop"
  std::string name;           // as the desktop shows it

  bool operator==(const DesktopApplication&) const = default;
};

// How a request to the desktop ended. `message` says what failed when `ok` is false.
struct WorkspaceResult {
  bool ok = true;
  std::string message;

  explicit operator bool() const { return ok; }
};

// The desktop's ways of opening things: the default handler of a URL or file (a folder opens
// in the file manager), and applications found by their desktop-file id.
//
// Threading: any thread may call. Opening only asks the desktop to start the handler; it
// does not wait for the handler to finish.
class Workspace {
 public:
  Workspace() = default;
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  virtual ~Workspace() = default;

  // Opens a URL ("https://…", "file:///…") with the handler the desktop chose for it.
  [[nodiscard]] virtual WorkspaceResult openURL(const std::string& url) = 0;
  // Opens a local file or folder with its default handler.
  [[nodiscard]] virtual WorkspaceResult openPath(const std::filesystem::path& path) = 0;
  // The installed application with this desktop-file id, or none.
  virtual std::optional<DesktopApplication> applicationForId(std::string_view desktopFileId) = 0;
  // Starts `application` with the files.
  [[nodiscard]] virtual WorkspaceResult openFiles(const std::vector<std::filesystem::path>& files,
                                                  const DesktopApplication& application) = 0;
};

}  // namespace folium::platform

#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/app_services.hpp"
#include "app/domain_operations.hpp"
#include "app/folium_search_request.hpp"

namespace folium::app {

// What the tray application does for a URL it was handed. Main thread.
class AppShell {
 public:
  AppShell() = default;
  AppShell(const AppShell&) = delete;
  AppShell& operator=(const AppShell&) = delete;
  virtual ~AppShell() = default;

  // Brings the application to the front.
  virtual void activate() = 0;
  // Shows the main window "Folium", creating it if needed.
  virtual void openMainWindow() = 0;
  // Shows the search window of `request`, bringing an open one for an equal request forward.
  virtual void openSearchWindow(const FoliumSearchRequest& request) = 0;
};

// What handleOpenURL() made of a URL.
enum class OpenURLAction { search, importProfile, ignored };

// The one entry for every URL and file the desktop hands to the application, first match
// wins: a search link opens its search window; a file URL whose name ends in
// ".foliumprofile" (any case) opens the main window and imports the file; anything else is
// ignored. `imported`, if any, gets the import's outcome on the main thread.
OpenURLAction handleOpenURL(std::string_view url, AppShell& shell, const AppServices& services,
                            std::function<void(ImportOutcome)> imported = {});

// A command-line argument of `folium` as a URL: an argument with a URL scheme ("folium:",
// "file:") stays as it is, but for its spaces, control characters and raw UTF-8 bytes, which
// are percent-encoded; anything else is a path, made absolute against
// `workingDirectory` (the directory of the process that received it) and written as a file
// URL.
std::string urlFromArgument(std::string_view argument,
                            const std::filesystem::path& workingDirectory);
// The local path of a "file:" URL (percent-decoded; host empty or "localhost"); none for
// any other URL.
std::optional<std::filesystem::path> pathFromFileURL(std::string_view url);

}  // namespace folium::app

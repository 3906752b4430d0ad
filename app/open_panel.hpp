#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "app/ui_text.hpp"

namespace folium::app {

// The dialog in which the user chooses one existing file (never a folder), with a message
// telling them what to choose. No file-type filter: any file may be chosen.
//
// Threading: main thread only; chooseFile() blocks until the dialog is closed.
class OpenPanel {
 public:
  OpenPanel() = default;
  OpenPanel(const OpenPanel&) = delete;
  OpenPanel& operator=(const OpenPanel&) = delete;
  virtual ~OpenPanel() = default;

  // The chosen file, or none when the user cancelled or closed the dialog.
  virtual std::optional<std::filesystem::path> chooseFile(const UiText& message) = 0;
};

}  // namespace folium::app

#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace folium::fp {

// Reads a whole file into memory. Throws std::system_error (with the errno) naming the path.
std::string readWholeFile(const std::filesystem::path& path);

// The user's private folder for downloaded contents: "folium-<uid>" in the temporary
// directory ($TMPDIR when it is an absolute path, else /tmp).
std::filesystem::path downloadsFolder();

// Writes `contents` to a new file with a unique name in `folder` and returns its path. The
// folder is created 0700 (an existing one must be a real folder owned by the user, and is
// brought back to 0700); the file is created 0600, never over an existing one. The file is
// the caller's to move or remove. Throws std::system_error naming the path.
std::filesystem::path writeTemporaryFile(const std::filesystem::path& folder,
                                         std::string_view contents);

}  // namespace folium::fp

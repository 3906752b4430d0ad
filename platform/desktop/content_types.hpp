#pragma once

#include <string>
#include <string_view>

namespace folium::platform {

// Content types of the desktop (MIME types from the shared MIME database, read through
// GIO). Thread-safe.

// The type of folders.
inline constexpr std::string_view kFolderContentType = "inode/directory";
// Data of unknown kind; every file type conforms to it.
inline constexpr std::string_view kDataContentType = "application/octet-stream";

// The type the desktop gives to files whose name ends in ".<extension>", when it knows one
// and that type is a kind of data; otherwise none (empty). Only the extension
// is looked at: "gz" gives the gzip type, whatever precedes it.
std::string contentTypeForFilenameExtension(std::string_view extension);

// Whether `type` is `supertype` or a kind of it ("image/png" conforms to
// "application/octet-stream", "inode/directory" does not).
bool contentTypeConforms(std::string_view type, std::string_view supertype);

}  // namespace folium::platform

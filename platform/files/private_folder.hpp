#pragma once

#include <filesystem>

namespace folium::platform {

// Creates `folder` and its missing parents, each one it creates 0700 whatever the umask.
// The folder itself must then be a real folder (not a link) owned by the user, and is
// brought back to 0700 if it was not: anyone may have made the name first in a shared
// folder. Throws std::system_error naming the folder.
void makePrivateFolder(const std::filesystem::path& folder);

}  // namespace folium::platform

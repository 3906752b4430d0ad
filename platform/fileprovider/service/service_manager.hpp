#pragma once

#include <memory>

#include "platform/fileprovider/file_provider_manager.hpp"

namespace folium::platform {

// The manager of the real drive service: talks to folium-fileproviderd over the user's
// socket, starting it when it is not running. Completions run on a thread of the manager's.
std::shared_ptr<FileProviderManager> makeServiceManager();

}  // namespace folium::platform

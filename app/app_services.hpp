#pragma once

#include <memory>

#include "app/file_system.hpp"
#include "app/main_thread.hpp"
#include "app/open_panel.hpp"
#include "core/shared_store.hpp"
#include "platform/desktop/workspace.hpp"
#include "platform/fileprovider/file_provider_manager.hpp"
#include "platform/http/http_session.hpp"

namespace folium::app {

// Everything the view models reach outside themselves. The tray application hands in the
// real services; tests hand in fakes for what they must control. Any of the pointers may be
// shared between views.
struct AppServices {
  SharedStore store;
  std::shared_ptr<platform::FileProviderManager> manager;
  std::shared_ptr<platform::Workspace> workspace;
  std::shared_ptr<OpenPanel> openPanel;  // may be null where no file is ever chosen
  std::shared_ptr<FileSystem> fileSystem;
  std::shared_ptr<MainThreadPoster> mainThread;
  std::shared_ptr<platform::HttpSession> http;  // the searches' session
};

}  // namespace folium::app

#include "platform/desktop/workspace_gio.hpp"

#include <gio/gio.h>

#include <memory>

namespace folium::platform {
namespace {

struct GObjectDeleter {
  void operator()(gpointer object) const noexcept {
    if (object) g_object_unref(object);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter>;

// Takes a GError: its message, the error freed.
std::string takeMessage(GError* error, std::string_view fallback) {
  if (!error) return std::string(fallback);
  std::string message = error->message;
  g_error_free(error);
  return message;
}

WorkspaceResult failure(std::string message) { return {false, std::move(message)}; }

// The installed application with this desktop-file id, hidden ones included.
GObjectPtr<GAppInfo> findApplication(const std::string& desktopFileId) {
  GList* all = g_app_info_get_all();
  GAppInfo* found = nullptr;
  for (GList* entry = all; entry; entry = entry->next) {
    auto* info = static_cast<GAppInfo*>(entry->data);
    const char* id = g_app_info_get_id(info);
    if (!found && id && desktopFileId == id) found = G_APP_INFO(g_object_ref(info));
  }
  g_list_free_full(all, g_object_unref);
  return GObjectPtr<GAppInfo>(found);
}

}  // namespace

WorkspaceResult GioWorkspace::openURL(const std::string& url) {
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
    return failure("cannot open " + url + ": " + takeMessage(error, "no application handles it"));
  }
  return {};
}

WorkspaceResult GioWorkspace::openPath(const std::filesystem::path& path) {
  GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
  char* uri = g_file_get_uri(file.get());
  GError* error = nullptr;
  const bool launched = g_app_info_launch_default_for_uri(uri, nullptr, &error);
  g_free(uri);
  if (!launched) {
    return failure("cannot open " + path.string() + ": " +
                   takeMessage(error, "no application handles it"));
  }
  return {};
}

std::optional<DesktopApplication> GioWorkspace::applicationForId(std::string_view desktopFileId) {
  const std::string id(desktopFileId);
  GObjectPtr<GAppInfo> info = findApplication(id);
  if (!info) return std::nullopt;
  const char* name = g_app_info_get_name(info.get());
  return DesktopApplication{id, name ? name : id};
}

WorkspaceResult GioWorkspace::openFiles(const std::vector<std::filesystem::path>& files,
                                        const DesktopApplication& application) {
  GObjectPtr<GAppInfo> info = findApplication(application.desktopFileId);
  if (!info) return failure(application.desktopFileId + " is not installed");
  std::vector<GObjectPtr<GFile>> owned;
  GList* list = nullptr;
  for (const auto& path : files) {
    owned.emplace_back(g_file_new_for_path(path.c_str()));
    list = g_list_append(list, owned.back().get());
  }
  GError* error = nullptr;
  const bool launched = g_app_info_launch(info.get(), list, nullptr, &error);
  g_list_free(list);
  if (!launched) {
    return failure("cannot start " + application.name + ": " +
                   takeMessage(error, "the launch failed"));
  }
  return {};
}

}  // namespace folium::platform

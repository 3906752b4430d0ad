#include "app/hit_opening.hpp"

#include <algorithm>
#include <cctype>

namespace folium::app {

const std::set<std::string, std::less<>>& markdownExtensions() {
  static const std::set<std::string, std::less<>> extensions{"md", "markdown", "mdown", "mkd",
                                                             "mkdn"};
  return extensions;
}

std::string hitItemIdentifier(const SearchHit& hit) { return "do:" + hit.entityId; }

void localFile(const AppServices& services, const SearchHit& hit,
               const platform::FileProviderDomain& domain,
               std::function<void(std::optional<std::filesystem::path>)> completion) {
  auto manager = services.manager->managerForDomain(domain);
  if (!manager) return completion(std::nullopt);
  manager->getUserVisibleURL(hitItemIdentifier(hit),
                             [fileSystem = services.fileSystem, completion](
                                 std::optional<std::filesystem::path> url, platform::ErrorPtr) {
                               if (!url) return completion(std::nullopt);
                               const FileSystem::Status status = fileSystem->status(*url);
                               if (!status.exists || status.isDirectory)
                                 return completion(std::nullopt);
                               completion(std::move(url));
                             });
}

OpenedWith openFile(const AppServices& services, const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  if (markdownExtensions().contains(extension)) {
    if (auto editor = services.workspace->applicationForId(kMarkdownEditorId)) {
      if (services.workspace->openFiles({file}, *editor)) return OpenedWith::markdownEditor;
      // An editor that fails to start should not keep the user from their file.
    }
  }
  return services.workspace->openPath(file) ? OpenedWith::defaultHandler : OpenedWith::nothing;
}

void openHit(const AppServices& services, const SearchHit& hit,
             const platform::FileProviderDomain& domain,
             std::function<void(OpenedWith)> completion) {
  // The completion holds no manager: its last reference must not go on the manager's thread.
  AppServices forOpening = services;
  forOpening.manager.reset();
  localFile(
      services, hit, domain,
      [services = std::move(forOpening), completion](std::optional<std::filesystem::path> file) {
        services.mainThread->post([services, completion, file] {
          const OpenedWith opened = file ? openFile(services, *file) : OpenedWith::nothing;
          if (completion) completion(opened);
        });
      });
}

}  // namespace folium::app

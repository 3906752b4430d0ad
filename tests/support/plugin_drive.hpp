#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/shared_store.hpp"
#include "fileprovider/file_provider_extension.hpp"
#include "platform/threads/thread_pool.hpp"
#include "tests/support/process.hpp"

namespace folium::testing {

// What the plug-in said back for one request. `text` shows every call in order, each with
// what it carried: "didEnumerateItems(ws:1 ws:2) finishEnumeratingUpToPage()",
// "completion(do:5)", "completion(NSCocoaErrorDomain 3328)", "progress(1/1)". The other
// fields keep the last value of each kind, for closer looks.
struct Answer {
  std::string text;
  std::vector<platform::ItemPtr> items;
  platform::ItemPtr item;
  platform::ItemFields remainingFields = 0;
  platform::ErrorPtr error;
};

// The plug-in serving one drive whose profile points at `baseURL`, on a secret store of its
// own. Every request waits for its answer (and the progress it set); the extension's tasks
// are waited for on destruction.
class PluginDrive {
 public:
  explicit PluginDrive(const std::string& baseURL, const std::string& token = "test-token");
  ~PluginDrive();

  // Replaces or removes the drive's stored profile.
  void saveProfile(const std::string& baseURL, const std::string& token);
  void forgetProfile();

  Answer list(const platform::ItemIdentifier& container);
  Answer changes(const platform::SyncAnchor& anchor,
                 const platform::ItemIdentifier& container = std::string(kRoot));
  Answer currentAnchor(const platform::ItemIdentifier& container = std::string(kRoot));
  Answer item(const platform::ItemIdentifier& identifier);
  Answer fetch(const platform::ItemIdentifier& identifier);
  // The template has the parent and name given, and `contentType` when there is one.
  Answer create(const platform::ItemIdentifier& parent, const std::string& name,
                std::optional<std::string> contentType = std::nullopt,
                std::optional<std::filesystem::path> contents = std::nullopt);
  Answer modify(const platform::ItemIdentifier& identifier, const platform::ItemIdentifier& parent,
                const std::string& name, platform::ItemFields changed,
                std::optional<std::filesystem::path> contents = std::nullopt);
  Answer remove(const platform::ItemIdentifier& identifier);

  const TempDir& dir() const { return dir_; }
  // The plug-in itself, for calls with handlers of the test's own; dropped as the service
  // drops it, whatever it still runs.
  fp::FileProviderExtension& extension() { return *extension_; }
  void dropExtension() { extension_.reset(); }

  static constexpr std::string_view kRoot = platform::NSFileProviderRootContainerItemIdentifier;

 private:
  TempDir dir_;
  platform::ThreadPool pool_{2};  // outlives the plug-in and its tasks
  SharedStore store_;
  std::string domain_;
  std::unique_ptr<fp::FileProviderExtension> extension_;
};

}  // namespace folium::testing

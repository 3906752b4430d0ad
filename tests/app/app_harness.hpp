#pragma once

// The services of the view models for their tests: the real profile store on a private
// folder, the real file system, a main queue the test runs, and fakes for the manager (whose
// completions the test releases), the workspace and the open panel.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/app_services.hpp"
#include "platform/desktop/workspace_fake.hpp"
#include "platform/fileprovider/fake_file_provider_manager.hpp"
#include "platform/secrets/file_secret_store.hpp"
#include "tests/support/process.hpp"

namespace folium::app::testing {

// Hands out the files a test lines up, one per call, and keeps the messages shown.
class ScriptedOpenPanel final : public OpenPanel {
 public:
  std::vector<std::optional<std::filesystem::path>> choices;
  std::vector<std::string> messages;
  std::optional<std::filesystem::path> chooseFile(const UiText& message) override {
    messages.push_back(message.french());
    if (choices.empty()) return std::nullopt;
    auto choice = choices.front();
    choices.erase(choices.begin());
    return choice;
  }
};

// Writes a profile file.
inline std::filesystem::path writeProfile(const std::filesystem::path& path, const std::string& url,
                                          const std::string& displayName,
                                          const std::string& token = "tok-secret") {
  folium::testing::writeFile(
      path, boost::json::serialize(boost::json::object{
                {"instance_url", url}, {"token", token}, {"display_name", displayName}}));
  return path;
}

class AppHarness {
 public:
  AppHarness()
      : secrets(std::make_shared<platform::FileSecretStore>(dir / "secrets")),
        manager(platform::FakeFileProviderManager::make()),
        workspace(std::make_shared<platform::FakeWorkspace>()),
        panel(std::make_shared<ScriptedOpenPanel>()),
        queue(std::make_shared<MainQueue>()),
        services{SharedStore(SharedStore::appGroupID, secrets),
                 manager,
                 workspace,
                 panel,
                 std::make_shared<LocalFileSystem>(),
                 queue,
                 platform::sharedHttpSession()} {}

  ~AppHarness() {
    // Completions still waiting hold services that hold the manager: release them.
    settle();
  }

  // A profile file in the test folder.
  std::filesystem::path profileFile(const std::string& url, const std::string& displayName,
                                    const std::string& token = "tok-secret") {
    return writeProfile(dir / (displayName + std::to_string(files_++) + ".foliumprofile"), url,
                        displayName, token);
  }
  FoliumProvisioning stored(const std::string& host, const std::string& displayName) {
    auto profile = FoliumProvisioning::decode(
        folium::testing::readFile(profileFile("https://" + host + "/", displayName)));
    EXPECT_TRUE(services.store.save(profile).ok);
    return profile;
  }

  // Delivers every call and runs every main-thread task until neither is left.
  void settle() {
    while (manager->deliverAll() + queue->runPending() > 0) {
    }
  }

  folium::testing::TempDir dir;
  std::shared_ptr<platform::FileSecretStore> secrets;
  std::shared_ptr<platform::FakeFileProviderManager> manager;
  std::shared_ptr<platform::FakeWorkspace> workspace;
  std::shared_ptr<ScriptedOpenPanel> panel;
  std::shared_ptr<MainQueue> queue;
  AppServices services;

 private:
  int files_ = 0;
};

inline std::vector<std::string> identifiers(const std::vector<platform::FileProviderDomain>& d) {
  std::vector<std::string> out;
  for (const auto& domain : d) out.push_back(domain.identifier + " " + domain.displayName);
  return out;
}

inline std::vector<std::string> names(const std::vector<FoliumProvisioning>& profiles) {
  std::vector<std::string> out;
  for (const auto& profile : profiles) out.push_back(profile.displayName);
  return out;
}

}  // namespace folium::app::testing

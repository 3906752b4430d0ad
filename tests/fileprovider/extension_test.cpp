#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "fileprovider/file_provider_extension.hpp"
#include "platform/secrets/file_secret_store.hpp"
#include "tests/support/process.hpp"
#include "tests/support/scripted_server.hpp"

namespace folium::fp {
namespace {

using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::ScriptedServer;

// A generous bound for waits that only end early when something is broken.
constexpr auto kPatience = std::chrono::seconds(30);

// The plug-in for a drive whose profile points at `baseURL`, on a store of its own.
struct Drive {
  explicit Drive(const std::string& baseURL)
      : store(SharedStore::appGroupID,
              std::make_shared<platform::FileSecretStore>(dir.path() / "secrets")) {
    const FoliumProvisioning profile{Url::parse(baseURL), "tok", "Test"};
    EXPECT_TRUE(store.save(profile).ok);
    extension = std::make_unique<FileProviderExtension>(
        platform::FileProviderDomain{profile.domainIdentifier(), "Drive"}, store,
        platform::sharedHttpSession(), pool, dir.path() / "staging");
  }
  ~Drive() {
    if (extension) extension->waitForRunningTasks();
  }

  testing::TempDir dir;
  platform::ThreadPool pool{2};
  SharedStore store;
  std::unique_ptr<FileProviderExtension> extension;
};

TEST(Progress, ObserverSeesSetsMadeBeforeItWasInstalledThenTheLaterOnes) {
  platform::Progress progress(100);
  progress.setCompletedUnitCount(10);
  progress.setCompletedUnitCount(40);
  std::vector<std::int64_t> seen;
  progress.setObserver([&](std::int64_t completed, std::int64_t total) {
    EXPECT_EQ(total, 100);
    seen.push_back(completed);
  });
  progress.setCompletedUnitCount(100);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{10, 40, 100}));
  EXPECT_TRUE(progress.waitUntilFinished(std::chrono::milliseconds(0)));
}

TEST(Completion, AHandlerThatThrowsIsNotCalledAgainAndTheProgressStillEnds) {
  ScriptedServer server([](const RecordedRequest&) {
    return ScriptedResponse::json(R"({"id":"4","name":"a.txt","workspace_id":"1"})");
  });
  Drive drive(server.baseURL());
  std::atomic<int> calls = 0;
  auto progress = drive.extension->itemForIdentifier(
      "do:4", platform::Request{}, [&](platform::ItemPtr item, platform::ErrorPtr) {
        ++calls;
        if (item) throw std::runtime_error("the service's handler failed");
      });
  EXPECT_TRUE(progress->waitUntilFinished(kPatience));
  drive.extension->waitForRunningTasks();
  EXPECT_EQ(calls, 1);
}

TEST(Completion, ARequestOutlivesTheExtensionThatStartedIt) {
  std::promise<void> release;
  auto released = release.get_future().share();
  ScriptedServer server([released](const RecordedRequest&) {
    released.wait_for(kPatience);
    return ScriptedResponse::json(R"({"id":"1","label":"Équipe"})");
  });
  Drive drive(server.baseURL());
  auto answered = std::make_shared<std::promise<std::string>>();
  auto answer = answered->get_future();
  drive.extension->itemForIdentifier(
      "ws:1", platform::Request{}, [answered](platform::ItemPtr item, platform::ErrorPtr error) {
        answered->set_value(item ? item->filename() : error->description());
      });
  drive.extension->invalidate();
  drive.extension.reset();
  release.set_value();
  EXPECT_EQ(answer.get(), "Équipe");
}

}  // namespace
}  // namespace folium::fp

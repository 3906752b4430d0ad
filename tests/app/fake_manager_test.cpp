// The in-memory manager keeps the real service's rules, which the view-model tests rely on.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/fileprovider/fake_file_provider_manager.hpp"

namespace folium::platform {
namespace {

TEST(FakeManager, KeepsTheServiceRulesInEitherDeliveryMode) {
  for (auto delivery :
       {FakeFileProviderManager::Delivery::held, FakeFileProviderManager::Delivery::automatic}) {
    auto manager = FakeFileProviderManager::make(delivery);
    const auto caller = std::this_thread::get_id();
    // Waits for one completion; in held mode, delivers it first.
    auto await = [&](auto&& call) {
      std::promise<ErrorPtr> result;
      call([&, caller](ErrorPtr error) {
        EXPECT_TRUE(delivery == FakeFileProviderManager::Delivery::held ||
                    std::this_thread::get_id() != caller);
        result.set_value(error);
      });
      if (delivery == FakeFileProviderManager::Delivery::held) {
        EXPECT_EQ(manager->deliverAll(), 1u);
      }
      return result.get_future().get();
    };
    EXPECT_FALSE(await([&](auto done) { manager->addDomain({"folium-a", "A"}, done); }));
    EXPECT_FALSE(await([&](auto done) { manager->addDomain({"folium-b", "B"}, done); }));
    EXPECT_FALSE(await([&](auto done) { manager->addDomain({"folium-a", "A2"}, done); }));
    EXPECT_EQ(manager->domains(),
              (std::vector<FileProviderDomain>{{"folium-a", "A2"}, {"folium-b", "B"}}));

    const ErrorPtr unknown = await([&](auto done) {
      manager->removeDomain({"folium-x", "X"}, done);
    });
    ASSERT_TRUE(unknown);
    EXPECT_THAT(unknown->description(), ::testing::HasSubstr("folium-x"));
    EXPECT_EQ(manager->managerForDomain({"folium-x", "X"}), nullptr);
    EXPECT_NE(manager->managerForDomain({"folium-b", ""}), nullptr);

    EXPECT_FALSE(await([&](auto done) { manager->removeAllDomains(done); }));
    EXPECT_TRUE(manager->domains().empty());
  }
}

}  // namespace
}  // namespace folium::platform

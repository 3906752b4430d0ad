#include "tests/support/plugin_drive.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/secrets/file_secret_store.hpp"

namespace folium::testing {
namespace {

using platform::ErrorPtr;
using platform::ItemPtr;

std::string identifiers(const std::vector<ItemPtr>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : " ") + item->itemIdentifier();
  return text;
}

std::string describe(const ErrorPtr& error) {
  return error->domain() + " " + std::to_string(error->code());
}

// The service's side of one request: records every call and wakes the test at the one that
// ends the request.
class AnswerRecorder final : public platform::EnumerationObserver, public platform::ChangeObserver {
 public:
  void didEnumerateItems(std::vector<ItemPtr> items) override {
    record("didEnumerateItems", identifiers(items), [&](Answer& a) { a.items = std::move(items); });
  }
  void finishEnumeratingUpToPage(std::optional<platform::EnumerationPage> page) override {
    record("finishEnumeratingUpToPage", page.value_or(""), nullptr, true);
  }
  void finishEnumeratingWithError(ErrorPtr error) override {
    finish("finishEnumeratingWithError", nullptr, std::move(error));
  }
  void didDeleteItemsWithIdentifiers(std::vector<platform::ItemIdentifier> ids) override {
    std::string text;
    for (const auto& id : ids) text += (text.empty() ? "" : " ") + id;
    record("didDeleteItemsWithIdentifiers", text, nullptr);
  }
  void didUpdateItems(std::vector<ItemPtr> items) override {
    record("didUpdateItems", identifiers(items), [&](Answer& a) { a.items = std::move(items); });
  }
  void finishEnumeratingChangesUpToSyncAnchor(platform::SyncAnchor anchor,
                                              bool moreComing) override {
    record("finishEnumeratingChangesUpToSyncAnchor", anchor + (moreComing ? " more" : ""), nullptr,
           true);
  }

  // A completion handler's call: the item or the error it carried.
  void finish(const char* call, ItemPtr item, ErrorPtr error, platform::ItemFields remaining = 0) {
    const std::string text = error ? describe(error) : item ? item->itemIdentifier() : "";
    record(
        call, text,
        [&](Answer& a) {
          a.item = std::move(item);
          a.error = std::move(error);
          a.remainingFields = remaining;
        },
        true);
  }

  void record(const char* call, const std::string& text, const std::function<void(Answer&)>& fill,
              bool finishes = false) {
    std::lock_guard lock(mutex_);
    answer_.text += (answer_.text.empty() ? "" : " ") + std::string(call) + "(" + text + ")";
    if (fill) fill(answer_);
    if (finishes) {
      EXPECT_FALSE(finished_) << "answered twice: " << answer_.text;
      finished_ = true;
      changed_.notify_all();
    }
  }

  Answer wait(const fp::FileProviderExtension& extension,
              const std::shared_ptr<platform::Progress>& progress = nullptr) {
    {
      std::unique_lock lock(mutex_);
      EXPECT_TRUE(changed_.wait_for(lock, std::chrono::seconds(60), [&] { return finished_; }))
          << "no answer";
    }
    extension.waitForRunningTasks();
    std::lock_guard lock(mutex_);
    if (progress) {
      answer_.text += " progress(" + std::to_string(progress->completedUnitCount()) + "/" +
                      std::to_string(progress->totalUnitCount()) + ")";
    }
    return answer_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = false;
  Answer answer_;
};

platform::ReplicatedExtension::ItemChangeHandler changeHandler(std::shared_ptr<AnswerRecorder> r) {
  return [r](ItemPtr item, platform::ItemFields remaining, bool, ErrorPtr error) {
    r->finish("completion", std::move(item), std::move(error), remaining);
  };
}

// Runs `use` on the container's enumerator, or records why there is none.
Answer enumerate(fp::FileProviderExtension& extension, const platform::ItemIdentifier& container,
                 const std::function<void(platform::FileProviderEnumerator&,
                                          std::shared_ptr<AnswerRecorder>)>& use) {
  auto recorder = std::make_shared<AnswerRecorder>();
  ErrorPtr error;
  if (auto e = extension.enumeratorForContainerItemIdentifier(container, {}, error)) {
    use(*e, recorder);
  } else {
    recorder->finish("enumeratorError", nullptr, error);
  }
  return recorder->wait(extension);
}

}  // namespace

PluginDrive::PluginDrive(const std::string& baseURL, const std::string& token)
    : store_(SharedStore::appGroupID,
             std::make_shared<platform::FileSecretStore>(dir_.path() / "secrets")) {
  saveProfile(baseURL, token);
  // The one place the tests build the plug-in.
  extension_ = std::make_unique<fp::FileProviderExtension>(
      platform::FileProviderDomain{domain_, "Drive"}, store_, platform::sharedHttpSession(), pool_,
      dir_.path() / "staging");
}

PluginDrive::~PluginDrive() {
  if (extension_) extension_->waitForRunningTasks();
}

void PluginDrive::saveProfile(const std::string& baseURL, const std::string& token) {
  const FoliumProvisioning profile{Url::parse(baseURL), token, "Mon Drive"};
  EXPECT_TRUE(store_.save(profile).ok);
  domain_ = profile.domainIdentifier();
}

void PluginDrive::forgetProfile() { EXPECT_TRUE(store_.remove(domain_).ok); }

Answer PluginDrive::list(const platform::ItemIdentifier& container) {
  return enumerate(*extension_, container, [](auto& e, auto r) {
    e.enumerateItems(r, std::string(platform::kInitialPageSortedByName));
  });
}

Answer PluginDrive::changes(const platform::SyncAnchor& anchor,
                            const platform::ItemIdentifier& container) {
  return enumerate(*extension_, container, [&](auto& e, auto r) { e.enumerateChanges(r, anchor); });
}

Answer PluginDrive::currentAnchor(const platform::ItemIdentifier& container) {
  return enumerate(*extension_, container, [](auto& e, std::shared_ptr<AnswerRecorder> r) {
    e.currentSyncAnchor([r](std::optional<platform::SyncAnchor> anchor) {
      r->record("completion", anchor.value_or("none"), nullptr, true);
    });
  });
}

Answer PluginDrive::item(const platform::ItemIdentifier& identifier) {
  auto r = std::make_shared<AnswerRecorder>();
  auto progress = extension_->itemForIdentifier(identifier, {}, [r](ItemPtr item, ErrorPtr error) {
    r->finish("completion", std::move(item), std::move(error));
  });
  return r->wait(*extension_, progress);
}

Answer PluginDrive::fetch(const platform::ItemIdentifier& identifier) {
  auto r = std::make_shared<AnswerRecorder>();
  auto progress = extension_->fetchContentsForItemWithIdentifier(
      identifier, std::nullopt, {},
      [r](std::optional<std::filesystem::path>, ItemPtr item, ErrorPtr error) {
        r->finish("completion", std::move(item), std::move(error));
      });
  return r->wait(*extension_, progress);
}

Answer PluginDrive::create(const platform::ItemIdentifier& parent, const std::string& name,
                           std::optional<std::string> contentType,
                           std::optional<std::filesystem::path> contents) {
  auto r = std::make_shared<AnswerRecorder>();
  auto progress = extension_->createItemBasedOnTemplate(
      std::make_shared<const platform::TemplateItem>("", parent, name, std::move(contentType)),
      platform::ItemField::filename | platform::ItemField::contents, std::move(contents), 0, {},
      changeHandler(r));
  return r->wait(*extension_, progress);
}

Answer PluginDrive::modify(const platform::ItemIdentifier& identifier,
                           const platform::ItemIdentifier& parent, const std::string& name,
                           platform::ItemFields changed,
                           std::optional<std::filesystem::path> contents) {
  auto r = std::make_shared<AnswerRecorder>();
  auto progress = extension_->modifyItem(
      std::make_shared<const platform::TemplateItem>(identifier, parent, name, std::nullopt), {},
      changed, std::move(contents), 0, {}, changeHandler(r));
  return r->wait(*extension_, progress);
}

Answer PluginDrive::remove(const platform::ItemIdentifier& identifier) {
  auto r = std::make_shared<AnswerRecorder>();
  auto progress = extension_->deleteItemWithIdentifier(
      identifier, {}, 0, {}, [r](ErrorPtr error) { r->finish("completion", nullptr, error); });
  return r->wait(*extension_, progress);
}

}  // namespace folium::testing

// `foliumctl fp`: the file-provider plug-in driven by a stand-in platform in this process.
// The command creates the plug-in for the drive named by --domain, makes the one call asked
// for and prints every call the plug-in makes back, one JSON object per line, as it
// happens.

#include <boost/json.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/cli/cli_context.hpp"
#include "core/shared_store.hpp"
#include "fileprovider/file_provider_extension.hpp"
#include "fileprovider/local_files.hpp"
#include "platform/desktop/content_types.hpp"
#include "platform/fileprovider/item_fields.hpp"
#include "platform/fileprovider/item_identifier.hpp"
#include "platform/fileprovider/service/line_channel.hpp"
#include "platform/text/utf8.hpp"

namespace folium::app {
namespace {

namespace json = boost::json;
// Errors are written as the service's channel carries them.
using platform::ErrorPtr;
using platform::ItemPtr;
using platform::service::errorToJson;

constexpr auto kProgressWait = std::chrono::seconds(5);
// One request runs at a time; its folder and document listings run side by side.
constexpr std::size_t kPluginThreads = 2;

json::value encodeItem(const ItemPtr& item) {
  if (!item) return nullptr;
  json::object object;
  object["itemIdentifier"] = item->itemIdentifier();
  object["parentItemIdentifier"] = item->parentItemIdentifier();
  object["filename"] = item->filename();
  object["capabilities"] = item->capabilities();
  if (const auto size = item->documentSize()) {
    object["documentSize"] = *size;
  } else {
    object["documentSize"] = nullptr;
  }
  if (item->respondsToContentType()) {
    object["contentType"] = item->contentType();
  } else {
    object["contentType"] = nullptr;
  }
  const platform::ItemVersion version = item->itemVersion();
  object["itemVersion"] = json::object{{"contentVersion", version.contentVersion},
                                       {"metadataVersion", version.metadataVersion}};
  object["fileSystemFlags"] = item->fileSystemFlags();
  return object;
}

json::array encodeItems(const std::vector<ItemPtr>& items) {
  json::array array;
  for (const ItemPtr& item : items) array.push_back(encodeItem(item));
  return array;
}

// The stand-in platform's side of one run: prints the plug-in's calls in the order they are
// made and tells the command when the call it made has been answered.
//
// Answers can come on the plug-in's threads before the command has installed its progress
// observer (the progress reaches the command only when the call returns). Those threads
// therefore wait at a gate, which the command opens once the observer is in place; calls
// made on the command's own thread, during the call, go through at once. The print mutex
// keeps lines whole; the state mutex guards the gate and the outcome. Neither is held while
// the other is taken.
class Transcript {
 public:
  Transcript() : commandThread_(std::this_thread::get_id()) {}

  void openGate() {
    {
      std::lock_guard lock(stateMutex_);
      gateOpen_ = true;
    }
    changed_.notify_all();
  }

  // One call of the plug-in; `finishes` when it ends the request, with or without an error.
  void call(json::object line, bool finishes = false, bool failed = false) {
    waitAtGate();
    {
      std::lock_guard lock(printMutex_);
      // The transcript is UTF-8, but what the plug-in hands back need not be: names,
      // identifiers, anchors and paths come from the command line or the file system.
      std::cout << platform::sanitizeUtf8(json::serialize(line)) << '\n' << std::flush;
    }
    if (finishes) {
      {
        std::lock_guard lock(stateMutex_);
        finished_ = true;
        failed_ = failed;
      }
      changed_.notify_all();
    }
  }

  void progress(std::int64_t completed, std::int64_t total) {
    std::lock_guard lock(printMutex_);
    std::cout << json::serialize(
                     json::object{{"call", "progress"}, {"completed", completed}, {"total", total}})
              << '\n'
              << std::flush;
  }

  // Blocks until the request is answered; true when the answer carried an error.
  bool waitForAnswer() {
    std::unique_lock lock(stateMutex_);
    changed_.wait(lock, [this] { return finished_; });
    return failed_;
  }

 private:
  void waitAtGate() {
    if (std::this_thread::get_id() == commandThread_) return;
    std::unique_lock lock(stateMutex_);
    changed_.wait(lock, [this] { return gateOpen_; });
  }

  const std::thread::id commandThread_;
  std::mutex printMutex_;
  std::mutex stateMutex_;
  std::condition_variable changed_;
  bool gateOpen_ = false;
  bool finished_ = false;
  bool failed_ = false;
};

class PrintingEnumerationObserver final : public platform::EnumerationObserver {
 public:
  explicit PrintingEnumerationObserver(Transcript& transcript) : transcript_(transcript) {}

  void didEnumerateItems(std::vector<ItemPtr> items) override {
    transcript_.call({{"call", "didEnumerateItems"}, {"items", encodeItems(items)}});
  }
  void finishEnumeratingUpToPage(std::optional<platform::EnumerationPage> nextPage) override {
    json::value page = nullptr;
    if (nextPage) page = *nextPage;
    transcript_.call({{"call", "finishEnumeratingUpToPage"}, {"page", page}}, true);
  }
  void finishEnumeratingWithError(ErrorPtr error) override {
    transcript_.call({{"call", "finishEnumeratingWithError"}, {"error", errorToJson(error)}}, true,
                     error != nullptr);
  }

 private:
  Transcript& transcript_;
};

class PrintingChangeObserver final : public platform::ChangeObserver {
 public:
  explicit PrintingChangeObserver(Transcript& transcript) : transcript_(transcript) {}

  void didDeleteItemsWithIdentifiers(std::vector<platform::ItemIdentifier> identifiers) override {
    json::array array;
    for (const auto& identifier : identifiers) array.emplace_back(identifier);
    transcript_.call({{"call", "didDeleteItemsWithIdentifiers"}, {"identifiers", array}});
  }
  void didUpdateItems(std::vector<ItemPtr> items) override {
    transcript_.call({{"call", "didUpdateItems"}, {"items", encodeItems(items)}});
  }
  void finishEnumeratingChangesUpToSyncAnchor(platform::SyncAnchor anchor,
                                              bool moreComing) override {
    transcript_.call({{"call", "finishEnumeratingChangesUpToSyncAnchor"},
                      {"anchor", anchor},
                      {"moreComing", moreComing}},
                     true);
  }
  void finishEnumeratingWithError(ErrorPtr error) override {
    transcript_.call({{"call", "finishEnumeratingWithError"}, {"error", errorToJson(error)}}, true,
                     error != nullptr);
  }

 private:
  Transcript& transcript_;
};

// "@root", "@workingset" and "@trash" stand for the platform's containers; any other text
// is an identifier as it is.
platform::ItemIdentifier resolveIdentifier(const std::string& text, const std::string& what) {
  if (text == "@root") return std::string(platform::NSFileProviderRootContainerItemIdentifier);
  if (text == "@workingset") {
    return std::string(platform::NSFileProviderWorkingSetContainerItemIdentifier);
  }
  if (text == "@trash") return std::string(platform::NSFileProviderTrashContainerItemIdentifier);
  if (text.starts_with("@")) {
    throw CLI::ValidationError(
        what, "unknown container \"" + text + "\" (known: @root, @workingset, @trash)");
  }
  return text;
}

platform::ItemFields parseFields(const std::string& list) {
  platform::ItemFields fields = 0;
  std::string_view rest = list;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view name = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (name.empty()) continue;
    const auto field = platform::itemFieldNamed(name);
    if (!field) {
      throw CLI::ValidationError("--changed", "unknown item field \"" + std::string(name) + "\"");
    }
    fields |= *field;
  }
  return fields;
}

std::optional<std::filesystem::path> contentsPath(const std::string& path,
                                                  const CLI::Option* option) {
  if (option->count() == 0) return std::nullopt;
  // An empty path names no file; the service never hands one over.
  if (path.empty()) throw CLI::ValidationError("--contents", "the path of the file is empty");
  return std::filesystem::absolute(path);
}

json::array fieldNames(platform::ItemFields fields) {
  json::array names;
  for (const std::string& name : platform::itemFieldNames(fields)) names.emplace_back(name);
  return names;
}

// One run of the stand-in platform: the plug-in for the chosen drive and the transcript.
class StandInPlatform {
 public:
  StandInPlatform(const CliContext& context, const std::string& displayName)
      : pool_(kPluginThreads),
        extension_(platform::FileProviderDomain{context.domain, displayName},
                   SharedStore(SharedStore::appGroupID), context.session(), pool_,
                   fp::downloadsFolder()) {}

  // Normally everything has ended already (finish() waits); after a failure between the
  // call and finish(), answers still waiting at the gate are let through first.
  ~StandInPlatform() {
    transcript_.openGate();
    extension_.waitForRunningTasks();
  }

  StandInPlatform(const StandInPlatform&) = delete;
  StandInPlatform& operator=(const StandInPlatform&) = delete;

  fp::FileProviderExtension& extension() { return extension_; }
  Transcript& transcript() { return transcript_; }

  platform::ReplicatedExtension::ItemHandler itemHandler() {
    return [this](ItemPtr item, ErrorPtr error) {
      const bool failed = error != nullptr;
      transcript_.call(
          {{"call", "completion"}, {"item", encodeItem(item)}, {"error", errorToJson(error)}}, true,
          failed);
    };
  }

  platform::ReplicatedExtension::ItemChangeHandler changeHandler() {
    return [this](ItemPtr item, platform::ItemFields remaining, bool shouldFetchContent,
                  ErrorPtr error) {
      const bool failed = error != nullptr;
      transcript_.call({{"call", "completion"},
                        {"item", encodeItem(item)},
                        {"remainingFields", fieldNames(remaining)},
                        {"shouldFetchContent", shouldFetchContent},
                        {"error", errorToJson(error)}},
                       true, failed);
    };
  }

  platform::ReplicatedExtension::FetchHandler fetchHandler() {
    return [this](std::optional<std::filesystem::path> url, ItemPtr item, ErrorPtr error) {
      const bool failed = error != nullptr;
      json::value location = nullptr;
      if (url) location = std::filesystem::absolute(*url).string();
      transcript_.call({{"call", "completion"},
                        {"url", location},
                        {"item", encodeItem(item)},
                        {"error", errorToJson(error)}},
                       true, failed);
    };
  }

  platform::ReplicatedExtension::DeleteHandler deleteHandler() {
    return [this](ErrorPtr error) {
      const bool failed = error != nullptr;
      transcript_.call({{"call", "completion"}, {"error", errorToJson(error)}}, true, failed);
    };
  }

  // An enumerator for the container, or none after printing why.
  std::shared_ptr<platform::FileProviderEnumerator> enumerator(
      const platform::ItemIdentifier& container) {
    ErrorPtr error;
    auto enumerator =
        extension_.enumeratorForContainerItemIdentifier(container, platform::Request{}, error);
    if (!enumerator) {
      transcript_.call({{"call", "enumeratorError"}, {"error", errorToJson(error)}}, true, true);
    }
    return enumerator;
  }

  // After the call was made: lets the answers through, waits for the request to be
  // answered and its progress to be complete, and gives the exit status.
  int finish(const std::shared_ptr<platform::Progress>& progress) {
    if (progress) {
      progress->setObserver([this](std::int64_t completed, std::int64_t total) {
        transcript_.progress(completed, total);
      });
    }
    transcript_.openGate();
    const bool failed = transcript_.waitForAnswer();
    if (progress) {
      // Lookups and deletions set their progress after answering. A request that ended
      // without completing it (a failed download) will not complete it later.
      const auto deadline = std::chrono::steady_clock::now() + kProgressWait;
      while (!progress->isFinished() && std::chrono::steady_clock::now() < deadline) {
        if (extension_.waitForRunningTasks(std::chrono::milliseconds(20))) break;
      }
    }
    // Nothing of the plug-in may still run when the process exits.
    extension_.waitForRunningTasks();
    return failed ? 1 : 0;
  }

 private:
  Transcript transcript_;
  // Declared before the plug-in, so that the pool outlives its tasks.
  platform::ThreadPool pool_;
  fp::FileProviderExtension extension_;
};

}  // namespace

void addFpCommands(CLI::App& app, CliContext& context) {
  CLI::App* fp =
      app.add_subcommand("fp", "the file-provider plug-in, driven by a stand-in platform");
  fp->require_subcommand(1);
  fp->fallthrough();
  auto displayName = std::make_shared<std::string>();
  // Given empty, the domain's name is empty: only a missing option means the identifier.
  CLI::Option* displayNameOption = fp->add_option(
      "--display-name", *displayName, "the domain's own display name (default: its identifier)");

  auto command = [&](const char* name, const char* description) {
    CLI::App* sub = fp->add_subcommand(name, description);
    sub->fallthrough();
    return sub;
  };

  // Runs `call` against a fresh stand-in platform and sets the exit status.
  auto run = [&context, displayName, displayNameOption](auto call) {
    if (!context.domainGiven) {
      // As elsewhere in foliumctl, the one stored drive is the default; the plug-in then
      // looks its profile up itself.
      context.domain = onlyStoredProfile(SharedStore(SharedStore::appGroupID)).domainIdentifier();
    }
    StandInPlatform platform(context,
                             displayNameOption->count() > 0 ? *displayName : context.domain);
    context.exitCode = platform.finish(call(platform));
  };
  using ProgressPtr = std::shared_ptr<platform::Progress>;

  {
    auto* sub = command("ls", "list a container's children");
    auto container = std::make_shared<std::string>();
    sub->add_option("CONTAINER", *container, "container identifier or @root, @workingset, @trash")
        ->required();
    sub->callback([run, container] {
      const auto identifier = resolveIdentifier(*container, "CONTAINER");
      run([&](StandInPlatform& platform) -> ProgressPtr {
        if (auto enumerator = platform.enumerator(identifier)) {
          enumerator->enumerateItems(
              std::make_shared<PrintingEnumerationObserver>(platform.transcript()),
              std::string(platform::kInitialPageSortedByName));
        }
        return nullptr;
      });
    });
  }
  {
    auto* sub = command("anchor", "the current sync anchor");
    auto container = std::make_shared<std::string>("@root");
    sub->add_option("CONTAINER", *container, "container identifier (default: @root)");
    sub->callback([run, container] {
      const auto identifier = resolveIdentifier(*container, "CONTAINER");
      run([&](StandInPlatform& platform) -> ProgressPtr {
        if (auto enumerator = platform.enumerator(identifier)) {
          Transcript& transcript = platform.transcript();
          enumerator->currentSyncAnchor([&transcript](std::optional<platform::SyncAnchor> anchor) {
            json::value text = nullptr;
            if (anchor) text = *anchor;
            transcript.call({{"call", "completion"}, {"anchor", text}}, true, false);
          });
        }
        return nullptr;
      });
    });
  }
  {
    auto* sub = command("changes", "the changes since a sync anchor");
    auto anchor = std::make_shared<std::string>();
    auto container = std::make_shared<std::string>("@root");
    sub->add_option("ANCHOR", *anchor, "sync anchor, as printed by `anchor`")->required();
    sub->add_option("CONTAINER", *container, "container identifier (default: @root)");
    sub->callback([run, anchor, container] {
      const auto identifier = resolveIdentifier(*container, "CONTAINER");
      run([&](StandInPlatform& platform) -> ProgressPtr {
        if (auto enumerator = platform.enumerator(identifier)) {
          enumerator->enumerateChanges(
              std::make_shared<PrintingChangeObserver>(platform.transcript()), *anchor);
        }
        return nullptr;
      });
    });
  }
  {
    auto* sub = command("item", "look an item up");
    auto id = std::make_shared<std::string>();
    sub->add_option("ID", *id, "item identifier")->required();
    sub->callback([run, id] {
      const auto identifier = resolveIdentifier(*id, "ID");
      run([&](StandInPlatform& platform) {
        return platform.extension().itemForIdentifier(identifier, platform::Request{},
                                                      platform.itemHandler());
      });
    });
  }
  {
    auto* sub = command("fetch", "download a document's contents into a private file");
    auto id = std::make_shared<std::string>();
    sub->add_option("ID", *id, "item identifier")->required();
    sub->callback([run, id] {
      const auto identifier = resolveIdentifier(*id, "ID");
      run([&](StandInPlatform& platform) {
        return platform.extension().fetchContentsForItemWithIdentifier(
            identifier, std::nullopt, platform::Request{}, platform.fetchHandler());
      });
    });
  }
  {
    auto* sub = command("create", "create a folder or document");
    auto parent = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    auto contentType = std::make_shared<std::string>();
    auto contents = std::make_shared<std::string>();
    sub->add_option("PARENT", *parent, "parent identifier")->required();
    sub->add_option("NAME", *name, "name of the new item")->required();
    auto isFolder = std::make_shared<bool>(false);
    auto* folder = sub->add_flag("--folder", *isFolder, "create a folder");
    auto* typeOption =
        sub->add_option("--content-type", *contentType, "content type the template offers");
    folder->excludes(typeOption);
    auto* contentsOption = sub->add_option("--contents", *contents, "file holding the contents");
    sub->callback([run, parent, name, contentType, contents, isFolder, typeOption, contentsOption] {
      std::optional<std::string> type;
      if (*isFolder) type = std::string(platform::kFolderContentType);
      if (typeOption->count()) type = *contentType;
      auto itemTemplate = std::make_shared<const platform::TemplateItem>(
          "", resolveIdentifier(*parent, "PARENT"), *name, std::move(type));
      const auto contentsFile = contentsPath(*contents, contentsOption);
      run([&](StandInPlatform& platform) {
        return platform.extension().createItemBasedOnTemplate(
            itemTemplate, platform::ItemField::filename | platform::ItemField::contents,
            contentsFile, 0, platform::Request{}, platform.changeHandler());
      });
    });
  }
  {
    auto* sub = command("modify", "change an item's contents, name or parent");
    auto id = std::make_shared<std::string>();
    auto parent = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    auto changed = std::make_shared<std::string>();
    auto contents = std::make_shared<std::string>();
    sub->add_option("ID", *id, "item identifier")->required();
    sub->add_option("--parent", *parent, "the item's parent after the change")->required();
    sub->add_option("--name", *name, "the item's name after the change")->required();
    sub->add_option("--changed", *changed, "changed item fields, separated by commas")->required();
    auto* contentsOption = sub->add_option("--contents", *contents, "file holding the contents");
    sub->callback([run, id, parent, name, changed, contents, contentsOption] {
      auto item = std::make_shared<const platform::TemplateItem>(
          resolveIdentifier(*id, "ID"), resolveIdentifier(*parent, "--parent"), *name,
          std::nullopt);
      const platform::ItemFields fields = parseFields(*changed);
      const auto contentsFile = contentsPath(*contents, contentsOption);
      run([&](StandInPlatform& platform) {
        return platform.extension().modifyItem(item, platform::ItemVersion{}, fields, contentsFile,
                                               0, platform::Request{}, platform.changeHandler());
      });
    });
  }
  {
    auto* sub = command("delete", "delete an item");
    auto id = std::make_shared<std::string>();
    sub->add_option("ID", *id, "item identifier")->required();
    sub->callback([run, id] {
      const auto identifier = resolveIdentifier(*id, "ID");
      run([&](StandInPlatform& platform) {
        return platform.extension().deleteItemWithIdentifier(
            identifier, platform::ItemVersion{}, 0, platform::Request{}, platform.deleteHandler());
      });
    });
  }
}

}  // namespace folium::app

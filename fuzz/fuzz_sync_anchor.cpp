// The plug-in's sync anchors, as the service hands them back: any bytes. An anchor that
// cannot be read is refused with the expired-anchor error before anything is sent; one that
// can asks the change feed from its cursor and ends at an anchor that reads back the same.
// The feed is an in-process server that reports no change past the cursor asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "fileprovider/folium_enumerator.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

using namespace folium;
namespace platform = folium::platform;

// Answers every change-feed request with an empty last page at the cursor asked for.
class QuietFeed final : public platform::HttpSession {
 public:
  platform::HttpResponse send(const platform::HttpRequest& request) override {
    const auto at = request.url.find("cursor=");
    check(at != std::string::npos);
    const auto end = request.url.find('&', at);
    std::string cursor = request.url.substr(at + 7, end - at - 7);
    {
      std::lock_guard lock(mutex);
      cursors.push_back(cursor);
    }
    platform::HttpResponse response;
    response.status = 200;
    response.body = R"({"changes":[],"cursor":)" + cursor + R"(,"has_more":false})";
    return response;
  }
  std::mutex mutex;
  std::vector<std::string> cursors;
};

struct Outcome : platform::ChangeObserver {
  void didDeleteItemsWithIdentifiers(std::vector<platform::ItemIdentifier>) override {
    std::abort();
  }
  void didUpdateItems(std::vector<platform::ItemPtr>) override { std::abort(); }
  void finishEnumeratingChangesUpToSyncAnchor(platform::SyncAnchor to, bool more) override {
    check(!more && !finished);
    anchor = std::move(to);
    finished = true;
  }
  void finishEnumeratingWithError(platform::ErrorPtr failure) override {
    check(!finished);
    error = std::move(failure);
    finished = true;
  }
  bool finished = false;
  std::optional<platform::SyncAnchor> anchor;
  platform::ErrorPtr error;
};

std::shared_ptr<Outcome> enumerate(fp::FoliumEnumerator& enumerator, const fp::TaskGroup& tasks,
                                   platform::SyncAnchor anchor) {
  auto outcome = std::make_shared<Outcome>();
  enumerator.enumerateChanges(outcome, std::move(anchor));
  tasks.wait();
  check(outcome->finished);
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string anchor(reinterpret_cast<const char*>(data), size);
  auto feed = std::make_shared<QuietFeed>();
  static platform::ThreadPool pool(2);  // for the whole run; each input waits for its tasks
  const fp::TaskGroup tasks(pool);
  fp::FoliumEnumerator enumerator(
      std::string(platform::NSFileProviderRootContainerItemIdentifier),
      FoliumClient(FoliumConfig{Url::parse("http://feed.invalid"), "token"}, feed), tasks);

  const auto first = enumerate(enumerator, tasks, anchor);
  if (first->error) {
    check(feed->cursors.empty());
    check(first->error->domain() == platform::NSFileProviderErrorDomain);
    check(first->error->code() ==
          static_cast<std::int64_t>(platform::FileProviderErrorCode::syncAnchorExpired));
    return 0;
  }
  check(feed->cursors.size() == 1);
  check(first->anchor == "v4:" + feed->cursors[0]);
  // The anchor handed out leads back to the same cursor.
  const auto second = enumerate(enumerator, tasks, *first->anchor);
  check(!second->error && second->anchor == first->anchor);
  check(feed->cursors.size() == 2 && feed->cursors[1] == feed->cursors[0]);
  return 0;
}

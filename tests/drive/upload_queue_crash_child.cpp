// The worker of the crash test: runs an upload queue on a domain's state folder, hands it
// new files, says so on stdout, and keeps uploading until it is killed.
//
// upload_queue_crash_child STATE SECRETS BASE_URL PARENT COUNT

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/shared_store.hpp"
#include "fileprovider/file_provider_extension.hpp"
#include "platform/fileprovider/drive/upload_queue.hpp"
#include "platform/secrets/file_secret_store.hpp"

namespace {

using namespace folium;
using namespace folium::platform::drive;

class Silent final : public UploadListener {
 public:
  void uploaded(LocalItemId, const platform::ItemPtr&) override {}
  void conflictCopyMade(LocalItemId, const platform::ItemPtr&,
                        const std::filesystem::path&) override {}
  void refused(LocalItemId, const platform::ErrorPtr&) override {}
  void statusChanged(const UploadStatus&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s STATE SECRETS BASE_URL PARENT COUNT\n", argv[0]);
    return 2;
  }
  const std::filesystem::path state = argv[1];
  SharedStore store(SharedStore::appGroupID, std::make_shared<platform::FileSecretStore>(argv[2]));
  const FoliumProvisioning profile{Url::parse(argv[3]), "test-token", "Test"};
  platform::ThreadPool pool(4);
  fp::FileProviderExtension extension(
      platform::FileProviderDomain{profile.domainIdentifier(), "Test"}, store,
      platform::sharedHttpSession(), pool, state / "staging");
  platform::SystemClock clock;
  Silent listener;
  UploadQueueOptions options;
  options.stateDirectory = state;
  options.driveName = "Test";
  options.gracePeriod = std::chrono::seconds(0);
  options.firstRetryDelay = std::chrono::milliseconds(20);
  options.maxRetryDelay = std::chrono::milliseconds(200);
  UploadQueue queue(options, extension, clock, listener);
  queue.start();
  const int count = std::atoi(argv[5]);
  std::filesystem::create_directories(state / "cache");
  for (int i = 0; i < count; ++i) {
    const auto file = state / "cache" / std::to_string(i);
    std::ofstream(file) << "crash edit " << i;
    const std::string name = "crash-" + std::to_string(i) + ".txt";
    queue.enqueue(
        LocalEdit{static_cast<LocalItemId>(i + 1), std::nullopt, "", argv[4], name, name, file});
    std::printf("enqueued %d\n", i);
    std::fflush(stdout);
  }
  for (;;) ::pause();
}

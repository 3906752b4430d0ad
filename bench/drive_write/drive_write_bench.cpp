// Writing into a drive served by the drive service, as a user does it, against doing the
// same without the drive:
//  - writing a 256 MiB file into the drive and closing it (its edit made durable and handed
//    to the upload queue): <= 1.3x the same write to a native file followed by fsync;
//  - its upload, timed from its start to the server having it: <= 1.3x
//    `foliumctl api create-document` of the same file;
// and the drive worker's peak memory during both (<= 100 MiB). FOLIUM_BENCH_WRITE_MIB
// changes the file's size (default 256).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/comparison.hpp"
#include "platform/fileprovider/service/service_connection.hpp"
#include "tests/service/service_sandbox.hpp"
#include "tests/support/devserver.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr std::size_t kChunk = 1 << 20;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "drive_write: %s\n", what.c_str());
  std::exit(1);
}

struct Setup {
  std::unique_ptr<folium::testing::Devserver> server;
  std::unique_ptr<folium::testing::ServiceSandbox> sandbox;
  std::unique_ptr<folium::platform::service::ServiceConnection> service;
  fs::path profile;
  std::string workspaceID;
  fs::path folder;  // a workspace of the drive
  fs::path native;  // a folder on the disk that holds the drive's cache
  fs::path source;  // the file written, for foliumctl
  std::vector<char> contents;
  int files = 0;
  double workerPeakMiB = 0;
};

Setup* setup = nullptr;

void writeFile(const fs::path& path, bool sync) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot create " + path.string());
  for (std::size_t at = 0; at < setup->contents.size(); at += kChunk) {
    const std::size_t size = std::min(kChunk, setup->contents.size() - at);
    if (::write(fd, setup->contents.data() + at, size) != static_cast<ssize_t>(size)) {
      fail("cannot write " + path.string());
    }
  }
  if (sync && ::fsync(fd) != 0) fail("cannot sync " + path.string());
  if (::close(fd) != 0) fail("cannot close " + path.string());
}

// Every drive's status, through the service.
json::object driveStatus() {
  json::object reply = setup->service->callAndWait({{"op", "status"}});
  const json::value* drives = reply.if_contains("drives");
  if (!drives || !drives->is_array() || drives->as_array().empty()) fail("no drive status");
  return drives->as_array().front().as_object();
}

void notePeak() {
  for (const int pid : setup->sandbox->workers()) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmHWM:", 0) == 0) {
        setup->workerPeakMiB = std::max(setup->workerPeakMiB, std::stod(line.substr(6)) / 1024.0);
      }
    }
  }
}

// Starts the drive's waiting uploads now (a new file otherwise waits out its grace period)
// and returns once the server has them.
void uploadNow() {
  setup->service->callAndWait({{"op", "retryNow"}});
  const auto deadline = std::chrono::steady_clock::now() + 600s;
  for (;;) {
    const json::object status = driveStatus();
    const json::value* pending = status.if_contains("pendingUploads");
    if (pending && pending->is_int64() && pending->as_int64() == 0) break;
    if (std::chrono::steady_clock::now() > deadline) fail("the upload did not end");
    std::this_thread::sleep_for(2ms);
  }
  notePeak();
}

fs::path nextDriveFile() {
  return setup->folder / ("written-" + std::to_string(++setup->files) + ".bin");
}

// Each timed write and upload starts with nothing left to write back from the one before.
void BM_DriveWrite(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ::sync();
    state.ResumeTiming();
    writeFile(nextDriveFile(), false);
    state.PauseTiming();
    uploadNow();
    state.ResumeTiming();
  }
}
void BM_NativeWrite(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ::sync();
    state.ResumeTiming();
    const auto path = setup->native / "written.bin";
    writeFile(path, true);
    state.PauseTiming();
    fs::remove(path);
    state.ResumeTiming();
  }
}
void BM_DriveUpload(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    writeFile(nextDriveFile(), false);
    ::sync();
    state.ResumeTiming();
    uploadNow();
  }
}
void BM_CreateDocument(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ::sync();
    state.ResumeTiming();
    const auto created = setup->sandbox->foliumctl(
        {"--profile", setup->profile.string(), "api", "create-document", "--workspace",
         setup->workspaceID, "--name", "created-" + std::to_string(++setup->files) + ".bin",
         setup->source.string()});
    if (created.exitCode != 0) state.SkipWithError(created.err.c_str());
  }
}

#define FOLIUM_WRITE_BENCH(name) \
  BENCHMARK(name)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5)
FOLIUM_WRITE_BENCH(BM_DriveWrite);
FOLIUM_WRITE_BENCH(BM_NativeWrite);
FOLIUM_WRITE_BENCH(BM_DriveUpload);
FOLIUM_WRITE_BENCH(BM_CreateDocument);

}  // namespace

int main(int argc, char** argv) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    std::fprintf(stderr, "drive_write: /dev/fuse cannot be opened here; nothing to measure\n");
    return 1;
  }
  Setup fixture;
  setup = &fixture;
  const char* mib = std::getenv("FOLIUM_BENCH_WRITE_MIB");
  fixture.contents.resize(static_cast<std::size_t>(mib ? std::atol(mib) : 256) << 20);
  // Not all zeros, nor one page repeated: what a real file holds is not that regular.
  std::uint64_t seed = 0x9E3779B97F4A7C15ULL;
  for (std::size_t i = 0; i + 8 <= fixture.contents.size(); i += 8) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    std::memcpy(fixture.contents.data() + i, &seed, 8);
  }

  fixture.server = std::make_unique<folium::testing::Devserver>(std::vector<std::string>{"--demo"});
  fixture.sandbox = std::make_unique<folium::testing::ServiceSandbox>();
  fixture.sandbox->enterInProcess();
  fixture.profile = fixture.server->profilePath();
  auto& sandbox = *fixture.sandbox;
  if (sandbox.foliumctl({"store", "save", fixture.profile.string()}).exitCode != 0) {
    fail("cannot store the profile");
  }
  const auto listed =
      sandbox.foliumctl({"--profile", fixture.profile.string(), "api", "workspaces"});
  const json::value workspaces = json::parse(listed.out);
  const json::object& workspace = workspaces.as_array().front().as_object();
  fixture.workspaceID = std::string(workspace.at("id").as_string());
  if (sandbox.foliumctl({"domains", "add", "folium-127-0-0-1", "Bench"}).exitCode != 0) {
    fail("cannot add the drive");
  }
  fixture.folder = sandbox.drives() / "Bench" / std::string(workspace.at("label").as_string());
  if (!folium::testing::eventually([&] { return fs::is_directory(fixture.folder); })) {
    fail("the drive did not mount");
  }
  fixture.native = sandbox.home() / "native";
  fs::create_directories(fixture.native);
  fixture.source = fixture.native / "source.bin";
  writeFile(fixture.source, true);
  fixture.service = std::make_unique<folium::platform::service::ServiceConnection>();

  using folium::bench::Comparison;
  const int status = folium::bench::runComparisons(
      argc, argv,
      {{"drive-write", "BM_DriveWrite", "BM_NativeWrite", Comparison::Goal::atMostTime, 1.3,
        "write + close time / native write + fsync"},
       {"drive-upload", "BM_DriveUpload", "BM_CreateDocument", Comparison::Goal::atMostTime, 1.3,
        "upload time / foliumctl api create-document"}});
  notePeak();
  std::printf("RESULT drive-write-rss: worker peak RSS = %.0f MiB (goal <= 100: %s)\n",
              fixture.workerPeakMiB, fixture.workerPeakMiB <= 100 ? "met" : "missed");
  fixture.service.reset();
  sandbox.foliumctl({"domains", "remove-all"});
  fixture.sandbox.reset();
  fixture.server.reset();
  return status;
}

// Downloading and uploading a 256 MiB document through the client against plain libcurl
// doing the same transfers with the same devserver, in one run, both streaming between the
// network and a file: the client's streaming must not cost much more than moving the bytes.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bench/support/comparison.hpp"
#include "tests/support/devserver.hpp"
#include "bench/support/plain_curl.hpp"
#include "core/folium_client.hpp"
#include "core/folium_provisioning.hpp"
#include "platform/http/http_session.hpp"

namespace {

constexpr std::size_t kSize = std::size_t{256} << 20;
constexpr const char* kFilename = "transfert.bin";

std::string contents() {
  std::string data(kSize, '\0');
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    std::memcpy(data.data() + i, &state, 8);
  }
  return data;
}

std::string idOf(const std::string& body) {
  const boost::json::value value = boost::json::parse(body);
  const boost::json::value& id = value.at("id");
  return id.is_string() ? std::string(id.get_string()) : boost::json::serialize(id);
}

// Where the server keeps its data: in memory when /dev/shm has room, so that the disk's
// speed, which varies far more than anything measured here, does not drown the client's
// cost; FOLIUM_BENCH_DATA_PARENT names another folder (a real disk, say).
std::filesystem::path dataParent() {
  if (const char* chosen = std::getenv("FOLIUM_BENCH_DATA_PARENT"); chosen && *chosen) {
    return chosen;
  }
  struct statvfs shm {};
  if (::statvfs("/dev/shm", &shm) == 0 &&
      static_cast<std::uint64_t>(shm.f_bavail) * shm.f_frsize >= std::uint64_t{4} << 30 &&
      ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return {};
}

// A private folder of the bench's own for the file uploaded and the files downloaded, on the
// same file system as the server's data; removed at the end.
struct WorkFolder {
  explicit WorkFolder(const std::filesystem::path& parent) {
    std::string pattern =
        ((parent.empty() ? std::filesystem::temp_directory_path() : parent) / "transfer-XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
    path = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path path;
};

void writeWholeFile(const std::filesystem::path& path, std::string_view data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  while (ok && !data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    ok = n > 0;
    if (ok) data.remove_prefix(static_cast<std::size_t>(n));
  }
  if (fd < 0 || ::close(fd) != 0 || !ok) throw std::runtime_error("cannot write " + path.string());
}

// A download target opened afresh (truncated) for each run, as a real download would be.
class Target {
 public:
  explicit Target(const std::filesystem::path& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
    if (fd_ < 0) throw std::runtime_error("cannot write " + path.string());
  }
  ~Target() { ::close(fd_); }
  int fd() const { return fd_; }
  void write(std::string_view bytes) const {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n <= 0) throw std::runtime_error("cannot write the download");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
};

struct Setup {
  std::filesystem::path parent = dataParent();
  WorkFolder work{parent};
  folium::testing::Devserver server{{}, parent};
  folium::FoliumClient client{
      folium::FoliumConfig{folium::Url::parse(server.baseURL()), server.token()},
      folium::platform::sharedHttpSession()};
  folium::bench::PlainCurl raw{server.token()};
  std::string data = contents();
  std::filesystem::path source = work.path / kFilename;  // holds `data`, for the uploads
  std::filesystem::path clientTarget = work.path / "client.bin";
  std::filesystem::path rawTarget = work.path / "raw.bin";
  std::string workspaceID;
  std::string documentID;  // holds `data`, for the downloads
  std::string blobURL;
};

Setup* setup = nullptr;

void BM_ClientDownload(benchmark::State& state) {
  for (auto _ : state) {
    const Target target(setup->clientTarget);
    const std::uint64_t size = setup->client.downloadDocument(
        setup->documentID, [&target](std::string_view bytes) { target.write(bytes); });
    if (size != kSize) state.SkipWithError("wrong size");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_RawDownload(benchmark::State& state) {
  for (auto _ : state) {
    const Target target(setup->rawTarget);
    if (setup->raw.getToFile(setup->blobURL, target.fd()) != 200) {
      state.SkipWithError("download failed");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_ClientUpload(benchmark::State& state) {
  for (auto _ : state) {
    const auto document = setup->client.createDocument(setup->workspaceID, std::nullopt, kFilename,
                                                       folium::ContentsFile{setup->source});
    state.PauseTiming();
    setup->client.deleteDocument(document.id);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_RawUpload(benchmark::State& state) {
  std::string body;
  for (auto _ : state) {
    const long status = setup->raw.postMultipartFile(
        setup->server.apiURL("documents/documents"), {{"workspace_id", setup->workspaceID}},
        "uploaded_file", kFilename, "application/octet-stream", setup->source.string(), body);
    state.PauseTiming();
    if (status < 200 || status > 299) {
      state.SkipWithError("upload failed");
    } else {
      setup->raw.del(setup->server.apiURL("documents/documents/" + idOf(body)));
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

#define FOLIUM_TRANSFER(name) \
  BENCHMARK(name)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(7)
FOLIUM_TRANSFER(BM_ClientDownload);
FOLIUM_TRANSFER(BM_RawDownload);
FOLIUM_TRANSFER(BM_ClientUpload);
FOLIUM_TRANSFER(BM_RawUpload);

}  // namespace

int main(int argc, char** argv) {
  Setup fixture;
  setup = &fixture;

  std::string body;
  const long status = fixture.raw.postJson(fixture.server.apiURL("documents/workspaces"),
                                           R"({"label":"Transferts"})", body);
  if (status < 200 || status > 299) {
    std::fprintf(stderr, "transfer: cannot create a workspace (status %ld)\n", status);
    return 1;
  }
  fixture.workspaceID = idOf(body);
  writeWholeFile(fixture.source, fixture.data);
  fixture.documentID = fixture.client
                           .createDocument(fixture.workspaceID, std::nullopt, kFilename,
                                           folium::ContentsFile{fixture.source})
                           .id;
  fixture.blobURL = fixture.server.apiURL("documents/documents/" + fixture.documentID + "/blob");
  // What comes back is what went up, through both paths.
  {
    const Target client(fixture.clientTarget), raw(fixture.rawTarget);
    fixture.client.downloadDocument(fixture.documentID,
                                    [&client](std::string_view bytes) { client.write(bytes); });
    fixture.raw.getToFile(fixture.blobURL, raw.fd());
  }
  std::ifstream clientCopy(fixture.clientTarget, std::ios::binary);
  std::ifstream rawCopy(fixture.rawTarget, std::ios::binary);
  const std::string clientBytes{std::istreambuf_iterator<char>(clientCopy), {}};
  const std::string rawBytes{std::istreambuf_iterator<char>(rawCopy), {}};
  if (clientBytes != fixture.data || rawBytes != fixture.data) {
    std::fprintf(stderr, "transfer: the downloaded contents differ from the uploaded ones\n");
    return 1;
  }
  body = std::string();
  std::printf("transfer: a document of %zu MiB, streamed from and to files; server data under %s\n",
              kSize >> 20,
              fixture.parent.empty() ? "the temporary folder" : fixture.parent.c_str());

  using folium::bench::Comparison;
  return folium::bench::runComparisons(
      argc, argv,
      {{"download", "BM_ClientDownload", "BM_RawDownload", Comparison::Goal::atMostTime, 1.2,
        "client downloadDocument to a file time / plain libcurl to a file time"},
       {"upload", "BM_ClientUpload", "BM_RawUpload", Comparison::Goal::atMostTime, 1.2,
        "client createDocument from a file time / plain libcurl from a file time"}});
}

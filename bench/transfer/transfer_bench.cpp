// Downloading and uploading a 256 MiB document through the client against plain libcurl
// doing the same transfers with the same devserver, in one run: whole contents in memory
// must not cost much more than moving the bytes.

#include <benchmark/benchmark.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

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

struct Setup {
  std::filesystem::path parent = dataParent();
  folium::testing::Devserver server{{}, parent};
  folium::FoliumClient client{
      folium::FoliumConfig{folium::Url::parse(server.baseURL()), server.token()},
      folium::platform::sharedHttpSession()};
  folium::bench::PlainCurl raw{server.token()};
  std::string data = contents();
  std::string workspaceID;
  std::string documentID;  // holds `data`, for the downloads
  std::string blobURL;
};

Setup* setup = nullptr;

void BM_ClientDownload(benchmark::State& state) {
  for (auto _ : state) {
    std::string data = setup->client.downloadDocument(setup->documentID);
    if (data.size() != kSize) state.SkipWithError("wrong size");
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_RawDownload(benchmark::State& state) {
  for (auto _ : state) {
    // A fresh buffer each time, as a download into memory needs one.
    std::string data;
    if (setup->raw.get(setup->blobURL, data, false) != 200 || data.size() != kSize) {
      state.SkipWithError("download failed");
    }
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_ClientUpload(benchmark::State& state) {
  for (auto _ : state) {
    const auto document =
        setup->client.createDocument(setup->workspaceID, std::nullopt, kFilename, setup->data);
    state.PauseTiming();
    setup->client.deleteDocument(document.id);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

// For reference: the client's request with the multipart body built beforehand, untimed,
// which is what an upload would cost if the body were not copied into one buffer first.
void BM_PrebuiltBodyUpload(benchmark::State& state) {
  const std::string url = setup->client.makeURL("documents/documents");
  for (auto _ : state) {
    state.PauseTiming();
    const std::string boundary = folium::makeBoundary();
    const std::string body =
        folium::makeMultipartBody(boundary, kFilename, folium::mimeType(kFilename), setup->data,
                                  {{"workspace_id", setup->workspaceID}});
    folium::platform::HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = {{"Authorization", "Bearer " + setup->server.token()},
                       {"Accept", "application/json"},
                       {"Content-Type", "multipart/form-data; boundary=" + boundary}};
    request.body = body;
    state.ResumeTiming();
    const auto response = setup->client.session()->send(request);
    if (response.status / 100 != 2) state.SkipWithError("the upload was refused");
    const auto document = folium::decodeObject<folium::FoliumDocument>(response.body);
    state.PauseTiming();
    setup->client.deleteDocument(document.id);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_RawUpload(benchmark::State& state) {
  std::string body;
  for (auto _ : state) {
    const long status = setup->raw.postMultipart(
        setup->server.apiURL("documents/documents"), {{"workspace_id", setup->workspaceID}},
        "uploaded_file", kFilename, "application/octet-stream", setup->data, body);
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
FOLIUM_TRANSFER(BM_PrebuiltBodyUpload);

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
  fixture.documentID =
      fixture.client.createDocument(fixture.workspaceID, std::nullopt, kFilename, fixture.data).id;
  fixture.blobURL = fixture.server.apiURL("documents/documents/" + fixture.documentID + "/blob");
  // What comes back is what went up, through both paths.
  if (fixture.client.downloadDocument(fixture.documentID) != fixture.data ||
      fixture.raw.get(fixture.blobURL, body, false) != 200 || body != fixture.data) {
    std::fprintf(stderr, "transfer: the downloaded contents differ from the uploaded ones\n");
    return 1;
  }
  body = std::string();
  std::printf("transfer: a document of %zu MiB; server data under %s\n", kSize >> 20,
              fixture.parent.empty() ? "the temporary folder" : fixture.parent.c_str());

  using folium::bench::Comparison;
  return folium::bench::runComparisons(
      argc, argv,
      {{"download", "BM_ClientDownload", "BM_RawDownload", Comparison::Goal::atMostTime, 1.2,
        "client downloadDocument time / plain libcurl time"},
       {"upload", "BM_ClientUpload", "BM_RawUpload", Comparison::Goal::atMostTime, 1.2,
        "client createDocument time / plain libcurl time"},
       {"upload (body built beforehand)", "BM_PrebuiltBodyUpload", "BM_RawUpload",
        Comparison::Goal::atMostTime, 0,
        "client request without building the body / plain libcurl time", true}});
}

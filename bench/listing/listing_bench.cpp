// Listing 100 000 documents (100 pages of 1000) through the client against fetching the
// same pages with plain libcurl and no decoding, from one devserver, in one run: what the
// client adds on top of the transfer (headers, validation, decoding, gathering) must stay
// small next to the transfer itself.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/support/comparison.hpp"
#include "tests/support/devserver.hpp"
#include "bench/support/plain_curl.hpp"
#include "core/folium_client.hpp"
#include "core/folium_provisioning.hpp"
#include "platform/http/http_session.hpp"

namespace {

constexpr int kDocuments = 100000;
constexpr int kPerPage = 1000;
constexpr int kPages = kDocuments / kPerPage;

struct Setup {
  folium::testing::Devserver server{{"--bulk", std::to_string(kDocuments)}};
  folium::FoliumClient client{
      folium::FoliumConfig{folium::Url::parse(server.baseURL()), server.token()},
      folium::platform::sharedHttpSession()};
  folium::bench::PlainCurl raw{server.token()};
  std::vector<std::string> pageURLs;
};

Setup* setup = nullptr;

void BM_ClientListDocuments(benchmark::State& state) {
  for (auto _ : state) {
    auto documents = setup->client.listDocuments(std::nullopt, std::nullopt);
    if (documents.size() != kDocuments) state.SkipWithError("wrong document count");
    benchmark::DoNotOptimize(documents);
  }
  state.SetItemsProcessed(state.iterations() * kDocuments);
}

void BM_RawFetchPages(benchmark::State& state) {
  std::string body;
  for (auto _ : state) {
    std::size_t bytes = 0;
    for (const std::string& url : setup->pageURLs) {
      if (setup->raw.get(url, body) != 200) state.SkipWithError("page not fetched");
      bytes += body.size();
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * kDocuments);
}

BENCHMARK(BM_ClientListDocuments)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(7);
BENCHMARK(BM_RawFetchPages)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(7);

}  // namespace

int main(int argc, char** argv) {
  const auto start = std::chrono::steady_clock::now();
  Setup fixture;
  setup = &fixture;
  const double seeded =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (int page = 1; page <= kPages; ++page) {
    fixture.pageURLs.push_back(
        fixture.server.apiURL("documents/documents?per_page=" + std::to_string(kPerPage) +
                              "&page=" + std::to_string(page)));
  }

  // Both sides must see the same 100 pages, and nothing after them.
  const auto documents = fixture.client.listDocuments(std::nullopt, std::nullopt);
  std::string body;
  std::size_t bytes = 0;
  for (const auto& url : fixture.pageURLs) {
    if (fixture.raw.get(url, body) != 200) {
      std::fprintf(stderr, "listing: %s did not answer 200\n", url.c_str());
      return 1;
    }
    bytes += body.size();
  }
  if (documents.size() != kDocuments) {
    std::fprintf(stderr, "listing: the client listed %zu documents, not %d\n", documents.size(),
                 kDocuments);
    return 1;
  }
  std::printf("listing: %d documents seeded in %.1f s; %d pages, %.1f MiB of JSON\n", kDocuments,
              seeded, kPages, static_cast<double>(bytes) / (1 << 20));

  using folium::bench::Comparison;
  return folium::bench::runComparisons(
      argc, argv,
      {{"listing", "BM_ClientListDocuments", "BM_RawFetchPages", Comparison::Goal::atMostTime, 1.5,
        "client listDocuments time / raw fetch time"}});
}

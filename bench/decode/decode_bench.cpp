// Decoding a listing page into records against parsing the same bytes alone: the decoder's
// own work (key conversion, type checks, copying the strings out) must not cost more than
// the parse itself.

#include <benchmark/benchmark.h>

#include <boost/json.hpp>
#include <cstdio>
#include <string>

#include "bench/support/comparison.hpp"
#include "core/json_decoding.hpp"
#include "core/records.hpp"

namespace {

constexpr int kRecords = 1000;

// A identifier shaped like the server's: 36 characters, varying with `n` and `salt`.
std::string uuidLike(int n, int salt) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-4%03x-a%03x-%012x", n * 2654435761u + salt,
                (n + salt) & 0xffff, n & 0xfff, salt & 0xfff, n * 40503u + salt * 7u);
  return text;
}

std::string timestamp(int n) {
  char text[40];
  std::snprintf(text, sizeof text, "2024-%02d-%02dT%02d:%02d:%02d.%06dZ", 1 + n % 12, 1 + n % 28,
                n % 24, n % 60, (n * 7) % 60, (n * 7919) % 1000000);
  return text;
}

// One page of 1000 folders as the server sends it: snake_case keys, every field present.
std::string folderPage() {
  static const char* const kNames[] = {"Comptes rendus",   "Réunions d’équipe",
                                       "Archives 2023",    "Factures fournisseurs",
                                       "Notes de lecture", "Projets en cours"};
  boost::json::array page;
  page.reserve(kRecords);
  const std::string workspace = uuidLike(7, 7);
  for (int i = 0; i < kRecords; ++i) {
    boost::json::object folder;
    folder["id"] = uuidLike(i, 1);
    folder["name"] = std::string(kNames[i % 6]) + " " + std::to_string(i);
    folder["documents_folder_id"] = uuidLike(i / 10, 2);
    folder["workspace_id"] = workspace;
    folder["created_at"] = timestamp(i);
    folder["updated_at"] = timestamp(i + 1);
    page.push_back(std::move(folder));
  }
  return boost::json::serialize(page);
}

const std::string& body() {
  static const std::string page = folderPage();
  return page;
}

void BM_Parse(benchmark::State& state) {
  const std::string& bytes = body();
  for (auto _ : state) {
    boost::json::value value = boost::json::parse(bytes);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// For reference: the same parse into an arena, as the decoder parses.
void BM_ParseArena(benchmark::State& state) {
  const std::string& bytes = body();
  for (auto _ : state) {
    boost::json::monotonic_resource arena;
    boost::json::value value = boost::json::parse(bytes, &arena);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_Decode(benchmark::State& state) {
  const std::string& bytes = body();
  for (auto _ : state) {
    std::vector<folium::Folder> folders = folium::decodeArray<folium::Folder>(bytes);
    if (folders.size() != kRecords) state.SkipWithError("wrong record count");
    benchmark::DoNotOptimize(folders);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

BENCHMARK(BM_Parse)->Repetitions(10);
BENCHMARK(BM_ParseArena)->Repetitions(10);
BENCHMARK(BM_Decode)->Repetitions(10);

}  // namespace

int main(int argc, char** argv) {
  std::printf("decode: a page of %d folders, %zu bytes\n", kRecords, body().size());
  using folium::bench::Comparison;
  return folium::bench::runComparisons(
      argc, argv,
      {{"decode", "BM_Decode", "BM_Parse", Comparison::Goal::atLeastThroughput, 0.5,
        "decode throughput / parse throughput"},
       {"decode (arena parse)", "BM_Decode", "BM_ParseArena", Comparison::Goal::atLeastThroughput,
        0, "decode throughput / arena parse throughput", true}});
}

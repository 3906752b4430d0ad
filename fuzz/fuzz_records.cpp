// The decoders of the server's records, fed any bytes as a response body. The first byte
// picks the record and whether one object or an array of them is read; the rest is the
// body. A body that decodes must encode and decode back to the same record, and records
// that compare equal must hash alike.
#include <boost/json.hpp>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

using namespace folium;

boost::json::object encode(const SearchResponse& response) {
  boost::json::array results;
  for (const SearchHit& hit : response.results) results.push_back(toJson(hit));
  boost::json::object object{{"results", std::move(results)}};
  if (response.total) object["total"] = *response.total;
  if (response.limit) object["limit"] = *response.limit;
  return object;
}

bool same(const SearchResponse& a, const SearchResponse& b) {
  return a.results == b.results && a.total == b.total && a.limit == b.limit;
}
bool same(const ChangePage& a, const ChangePage& b) {
  return a.changes == b.changes && a.cursor == b.cursor && a.hasMore == b.hasMore;
}
template <typename Record>
bool same(const Record& a, const Record& b) {
  return a == b;
}

template <typename Record>
boost::json::object encode(const Record& record) {
  return toJson(record);
}

template <typename Record>
void hashAlike(const Record& a, const Record& b) {
  if constexpr (requires { std::hash<Record>{}(a); }) {
    check(std::hash<Record>{}(a) == std::hash<Record>{}(b));
  }
}

template <typename Record>
void roundTrip(std::string_view body, bool array) {
  try {
    if (array) {
      const std::vector<Record> records = decodeArray<Record>(body);
      boost::json::array encoded;
      for (const Record& record : records) encoded.push_back(encode(record));
      const std::vector<Record> again = decodeArray<Record>(boost::json::serialize(encoded));
      check(again.size() == records.size());
      for (std::size_t i = 0; i < records.size(); ++i) {
        check(same(records[i], again[i]));
        hashAlike(records[i], again[i]);
      }
    } else {
      const Record record = decodeObject<Record>(body);
      const Record again = decodeObject<Record>(boost::json::serialize(encode(record)));
      check(same(record, again));
      hashAlike(record, again);
    }
  } catch (const DecodingError& error) {
    check(*error.what() != '\0');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  using RoundTrip = void (*)(std::string_view, bool);
  constexpr RoundTrip kRecords[] = {roundTrip<Workspace>,      roundTrip<Folder>,
                                    roundTrip<FoliumDocument>, roundTrip<SearchHit>,
                                    roundTrip<SearchResponse>, roundTrip<ChangeRecord>,
                                    roundTrip<ChangePage>};
  kRecords[(data[0] & 0x7f) % std::size(kRecords)](body, (data[0] & 0x80) != 0);
  // Any key converts to a field name no longer than itself.
  check(convertFromSnakeCase(body).size() <= body.size());
  return 0;
}

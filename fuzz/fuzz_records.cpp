// The decoders of the server's records, fed any bytes as a response body. The first byte
// picks the record and whether one object or an array of them is read; the rest is the
// body. A body that decodes must encode and decode back to the same record, and records
// that compare equal must hash alike.
#include <boost/json.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/json_decoding.hpp"
#include "core/records.hpp"

namespace {

using namespace folium;

void check(bool condition) {
  if (!condition) std::abort();
}

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
  const bool array = (data[0] & 0x80) != 0;
  switch ((data[0] & 0x7f) % 7) {
    case 0:
      roundTrip<Workspace>(body, array);
      break;
    case 1:
      roundTrip<Folder>(body, array);
      break;
    case 2:
      roundTrip<FoliumDocument>(body, array);
      break;
    case 3:
      roundTrip<SearchHit>(body, array);
      break;
    case 4:
      roundTrip<SearchResponse>(body, array);
      break;
    case 5:
      roundTrip<ChangeRecord>(body, array);
      break;
    case 6:
      roundTrip<ChangePage>(body, array);
      break;
  }
  // Any key converts to a field name no longer than itself.
  check(convertFromSnakeCase(body).size() <= body.size());
  return 0;
}

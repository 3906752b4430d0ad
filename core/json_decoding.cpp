#include "core/json_decoding.hpp"

#include <array>
#include <cmath>
#include <limits>

#include <boost/json.hpp>

namespace folium {
namespace {

namespace json = boost::json;

// No field name is longer than this; a converted key that grows past it matches nothing,
// so conversion stops there and never allocates.
constexpr std::size_t kMaxFieldName = 32;

struct KeyBuffer {
  std::array<char, kMaxFieldName> data;
};

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Appends to `out` while it fits `limit`; reports false once it would not.
class BoundedWriter {
 public:
  BoundedWriter(char* out, std::size_t limit) : out_(out), limit_(limit) {}
  bool put(char c) {
    if (size_ == limit_) return false;
    out_[size_++] = c;
    return true;
  }
  std::size_t size() const { return size_; }

 private:
  char* out_;
  std::size_t limit_;
  std::size_t size_ = 0;
};

// The snake_case conversion, written into `writer`. False when the result overflows it.
bool convertKey(std::string_view key, BoundedWriter& writer, bool& unchanged) {
  unchanged = false;
  const std::size_t first = key.find_first_not_of('_');
  if (first == std::string_view::npos) {
    unchanged = true;
    return true;
  }
  const std::size_t last = key.find_last_not_of('_');
  const std::string_view middle = key.substr(first, last - first + 1);
  if (middle.find('_') == std::string_view::npos) {
    unchanged = true;
    return true;
  }
  for (std::size_t i = 0; i < first; ++i) {
    if (!writer.put('_')) return false;
  }
  bool firstPiece = true;
  std::size_t pos = 0;
  while (pos <= middle.size()) {
    std::size_t end = middle.find('_', pos);
    if (end == std::string_view::npos) end = middle.size();
    const std::string_view piece = middle.substr(pos, end - pos);
    for (std::size_t i = 0; i < piece.size(); ++i) {
      char c = piece[i];
      c = (!firstPiece && i == 0) ? asciiUpper(c) : asciiLower(c);
      if (!writer.put(c)) return false;
    }
    if (!piece.empty()) firstPiece = false;
    pos = end + 1;
  }
  for (std::size_t i = last + 1; i < key.size(); ++i) {
    if (!writer.put('_')) return false;
  }
  return true;
}

// The field name a server key stands for, in `buffer` or in the key itself; none when it
// cannot match any field.
std::optional<std::string_view> fieldNameOf(std::string_view key, KeyBuffer& buffer) {
  BoundedWriter writer(buffer.data.data(), buffer.data.size());
  bool unchanged = false;
  if (!convertKey(key, writer, unchanged)) return std::nullopt;
  if (unchanged) return key;
  return std::string_view(buffer.data.data(), writer.size());
}

const char* kindName(json::kind kind) {
  switch (kind) {
    case json::kind::null: return "null";
    case json::kind::bool_: return "a boolean";
    case json::kind::int64:
    case json::kind::uint64:
    case json::kind::double_: return "a number";
    case json::kind::string: return "a string";
    case json::kind::array: return "an array";
    case json::kind::object: return "an object";
  }
  return "a value";
}

[[noreturn]] void fail(std::string_view record, std::string_view field, std::string_view what) {
  std::string message(record);
  if (!field.empty()) {
    message += '.';
    message += field;
  }
  message += ": ";
  message += what;
  throw DecodingError(message);
}

// Reads the members of one object into the slots of the listed fields (the last of several
// keys for one field wins) and offers typed, strict accessors.
template <std::size_t N>
class ObjectReader {
 public:
  ObjectReader(const json::value& value, std::string_view record,
               const std::array<std::string_view, N>& fields)
      : record_(record), fields_(fields) {
    if (!value.is_object()) {
      fail(record, {}, std::string("expected an object, found ") + kindName(value.kind()));
    }
    KeyBuffer buffer;
    for (const auto& member : value.get_object()) {
      const auto name = fieldNameOf(member.key(), buffer);
      if (!name) continue;
      for (std::size_t i = 0; i < N; ++i) {
        if (fields_[i] == *name) {
          slots_[i] = &member.value();
          break;
        }
      }
    }
  }

  std::string string(std::size_t i) const {
    const json::value* v = require(i);
    if (!v->is_string()) wrongType(i, "a string", *v);
    return std::string(v->get_string());
  }

  std::optional<std::string> optionalString(std::size_t i) const {
    const json::value* v = slots_[i];
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_string()) wrongType(i, "a string", *v);
    return std::string(v->get_string());
  }

  std::int64_t integer(std::size_t i) const { return toInteger(i, *require(i)); }

  std::optional<std::int64_t> optionalInteger(std::size_t i) const {
    const json::value* v = slots_[i];
    if (v == nullptr || v->is_null()) return std::nullopt;
    return toInteger(i, *v);
  }

  // A count the record may do without: anything but a whole number >= 0 reads as absent, so
  // that a server's odd hint never costs the record.
  std::optional<std::int64_t> optionalCount(std::size_t i) const {
    const json::value* v = slots_[i];
    if (v == nullptr) return std::nullopt;
    if (v->is_int64() && v->get_int64() >= 0) return v->get_int64();
    if (v->is_double()) {
      const double d = v->get_double();
      constexpr double kLimit = 9223372036854775808.0;  // 2^63
      if (std::isfinite(d) && std::trunc(d) == d && d >= 0 && d < kLimit) {
        return static_cast<std::int64_t>(d);
      }
    }
    return std::nullopt;
  }

  bool boolean(std::size_t i) const {
    const json::value* v = require(i);
    if (!v->is_bool()) wrongType(i, "a boolean", *v);
    return v->get_bool();
  }

  template <typename Record>
  std::vector<Record> list(std::size_t i) const;

  const json::value& value(std::size_t i) const { return *require(i); }

 private:
  const json::value* require(std::size_t i) const {
    const json::value* v = slots_[i];
    if (v == nullptr) fail(record_, fields_[i], "missing");
    if (v->is_null()) fail(record_, fields_[i], "missing (null)");
    return v;
  }

  [[noreturn]] void wrongType(std::size_t i, const char* expected, const json::value& v) const {
    fail(record_, fields_[i], std::string("expected ") + expected + ", found " + kindName(v.kind()));
  }

  // Only integral values within the signed 64-bit range; a double such as 12.0 or 1e3
  // counts as that integer.
  std::int64_t toInteger(std::size_t i, const json::value& v) const {
    switch (v.kind()) {
      case json::kind::int64: return v.get_int64();
      case json::kind::uint64: fail(record_, fields_[i], "integer out of the 64-bit range");
      case json::kind::double_: {
        const double d = v.get_double();
        // -2^63 itself is refused as a double: an integer literal just below the range rounds
        // to it, and -2^63 written as an integer arrives as int64 anyway.
        constexpr double kLimit = 9223372036854775808.0;  // 2^63
        if (std::isfinite(d) && std::trunc(d) == d && d > -kLimit && d < kLimit) {
          return static_cast<std::int64_t>(d);
        }
        fail(record_, fields_[i], "expected an integer, found a non-integral number");
      }
      default: wrongType(i, "an integer", v);
    }
  }

  std::string_view record_;
  const std::array<std::string_view, N>& fields_;
  std::array<const json::value*, N> slots_{};
};

template <typename Record>
Record decodeRecord(const json::value& value);

template <typename Record>
std::vector<Record> decodeList(const json::value& value, std::string_view what) {
  if (!value.is_array()) {
    fail(what, {}, std::string("expected an array, found ") + kindName(value.kind()));
  }
  const auto& array = value.get_array();
  std::vector<Record> out;
  out.reserve(array.size());
  for (std::size_t i = 0; i < array.size(); ++i) {
    try {
      out.push_back(decodeRecord<Record>(array[i]));
    } catch (const DecodingError& e) {
      throw DecodingError("element " + std::to_string(i) + ": " + e.what());
    }
  }
  return out;
}

template <std::size_t N>
template <typename Record>
std::vector<Record> ObjectReader<N>::list(std::size_t i) const {
  const json::value* v = require(i);
  if (!v->is_array()) wrongType(i, "an array", *v);
  std::string what(record_);
  what += '.';
  what += fields_[i];
  try {
    return decodeList<Record>(*v, what);
  } catch (const DecodingError& e) {
    fail(record_, fields_[i], e.what());
  }
}

constexpr std::array<std::string_view, 5> kWorkspaceFields{"id", "label", "description",
                                                           "createdAt", "updatedAt"};
template <>
Workspace decodeRecord<Workspace>(const json::value& value) {
  ObjectReader r(value, "Workspace", kWorkspaceFields);
  return Workspace{r.string(0), r.string(1), r.optionalString(2), r.optionalString(3),
                   r.optionalString(4)};
}

constexpr std::array<std::string_view, 6> kFolderFields{
    "id", "name", "documentsFolderId", "workspaceId", "createdAt", "updatedAt"};
template <>
Folder decodeRecord<Folder>(const json::value& value) {
  ObjectReader r(value, "Folder", kFolderFields);
  return Folder{r.string(0),         r.string(1),         r.optionalString(2),
                r.optionalString(3), r.optionalString(4), r.optionalString(5)};
}

constexpr std::array<std::string_view, 8> kDocumentFields{
    "id",        "name",      "documentsFolderId", "workspaceId", "downloadUrl",
    "createdAt", "updatedAt", "size"};
template <>
FoliumDocument decodeRecord<FoliumDocument>(const json::value& value) {
  ObjectReader r(value, "FoliumDocument", kDocumentFields);
  return FoliumDocument{r.string(0),         r.string(1),         r.optionalString(2),
                        r.optionalString(3), r.optionalString(4), r.optionalString(5),
                        r.optionalString(6), r.optionalCount(7)};
}

constexpr std::array<std::string_view, 8> kSearchHitFields{
    "entityType", "entityId", "name", "pageNumber", "excerpt", "updatedAt", "workspaceId",
    "folderId"};
template <>
SearchHit decodeRecord<SearchHit>(const json::value& value) {
  ObjectReader r(value, "SearchHit", kSearchHitFields);
  return SearchHit{r.string(0),         r.string(1),         r.string(2),
                   r.optionalInteger(3), r.optionalString(4), r.optionalString(5),
                   r.optionalString(6), r.optionalString(7)};
}

constexpr std::array<std::string_view, 3> kSearchResponseFields{"results", "total", "limit"};
template <>
SearchResponse decodeRecord<SearchResponse>(const json::value& value) {
  ObjectReader r(value, "SearchResponse", kSearchResponseFields);
  return SearchResponse{r.list<SearchHit>(0), r.optionalInteger(1), r.optionalInteger(2)};
}

constexpr std::array<std::string_view, 6> kChangeRecordFields{
    "id", "entityType", "entityId", "action", "workspaceId", "occurredAt"};
template <>
ChangeRecord decodeRecord<ChangeRecord>(const json::value& value) {
  ObjectReader r(value, "ChangeRecord", kChangeRecordFields);
  return ChangeRecord{r.integer(0), r.string(1),         r.string(2),
                      r.string(3),  r.optionalString(4), r.optionalString(5)};
}

constexpr std::array<std::string_view, 3> kChangePageFields{"changes", "cursor", "hasMore"};
template <>
ChangePage decodeRecord<ChangePage>(const json::value& value) {
  ObjectReader r(value, "ChangePage", kChangePageFields);
  return ChangePage{r.list<ChangeRecord>(0), r.integer(1), r.boolean(2)};
}

// Parses a whole body into a value that lives in `resource`. Invalid UTF-8, nesting past
// kMaxJsonDepth and trailing garbage are refused with the parser's reason.
json::value parseBody(std::string_view body, json::monotonic_resource& resource) {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  json::error_code ec;
  json::value value = json::parse(body, ec, &resource, options);
  if (ec) throw DecodingError("not valid JSON: " + ec.message());
  return value;
}

}  // namespace

std::string convertFromSnakeCase(std::string_view key) {
  std::string out(key.size(), '\0');
  BoundedWriter writer(out.data(), out.size());
  bool unchanged = false;
  convertKey(key, writer, unchanged);  // never longer than the key itself
  if (unchanged) return std::string(key);
  out.resize(writer.size());
  return out;
}

template <typename Record>
Record decodeValue(const boost::json::value& value) {
  return decodeRecord<Record>(value);
}

template <typename Record>
Record decodeObject(std::string_view body) {
  unsigned char buffer[4096];
  json::monotonic_resource resource(buffer, sizeof buffer);
  json::value value = parseBody(body, resource);
  return decodeRecord<Record>(value);
}

template <typename Record>
std::vector<Record> decodeArray(std::string_view body) {
  unsigned char buffer[4096];
  json::monotonic_resource resource(buffer, sizeof buffer);
  json::value value = parseBody(body, resource);
  return decodeList<Record>(value, "response");
}

#define FOLIUM_DECODER(Record)                                          \
  template Record decodeValue<Record>(const boost::json::value&);       \
  template Record decodeObject<Record>(std::string_view);               \
  template std::vector<Record> decodeArray<Record>(std::string_view);

FOLIUM_DECODER(Workspace)
FOLIUM_DECODER(Folder)
FOLIUM_DECODER(FoliumDocument)
FOLIUM_DECODER(SearchHit)
FOLIUM_DECODER(SearchResponse)
FOLIUM_DECODER(ChangeRecord)
FOLIUM_DECODER(ChangePage)

#undef FOLIUM_DECODER

}  // namespace folium

#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/fwd.hpp>

#include "core/records.hpp"

namespace folium {

// A server body that is not JSON, or does not fit the record expected. The message names
// the record and the field: `Folder.documentsFolderId: expected a string, found a number`.
class DecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Nesting accepted in a server body or a profile. Deep enough for any real record with nested
// unknown keys, shallow enough that a hostile body cannot exhaust memory through the parser's
// stack.
inline constexpr std::size_t kMaxJsonDepth = 10000;

// Converts a snake_case key to the camelCase field name it matches: leading and trailing
// underscores are kept; a key whose middle has no underscore is unchanged; otherwise the
// pieces between underscores (empty ones dropped) are joined, the first lower-cased and the
// others capitalised. "documents_folder_id" -> "documentsFolderId", "WORKSPACE_ID" ->
// "workspaceId".
std::string convertFromSnakeCase(std::string_view key);

// Decoders for the records, with that key conversion, strict types, unknown keys ignored.
// Each takes the bytes of a whole response body and throws DecodingError.
template <typename Record>
Record decodeObject(std::string_view body);
template <typename Record>
std::vector<Record> decodeArray(std::string_view body);

// Same, from an already parsed value.
template <typename Record>
Record decodeValue(const boost::json::value& value);

}  // namespace folium

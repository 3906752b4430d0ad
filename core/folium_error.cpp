#include "core/folium_error.hpp"

namespace folium {

FoliumError::FoliumError(Kind kind, int status) : kind_(kind), status_(status) {
  switch (kind) {
    case Kind::http: message_ = "http status " + std::to_string(status); break;
    case Kind::invalidResponse: message_ = "invalid response"; break;
    case Kind::missingDownloadURL: message_ = "missing download URL"; break;
  }
}

}  // namespace folium

#include <boost/system/system_error.hpp>

#include "app/cli/cli_context.hpp"
#include "core/folium_error.hpp"
#include "core/json_decoding.hpp"

namespace folium::app {

std::string describeFailure(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const FoliumError& e) {
    if (e.kind() == FoliumError::Kind::http) return "http status " + std::to_string(e.status());
    if (e.kind() == FoliumError::Kind::invalidResponse) return "invalid response";
    return "missing download URL";
  } catch (const DecodingError& e) {
    return std::string("cannot decode response: ") + e.what();
  } catch (const platform::TransportError& e) {
    return std::string("transport error: ") + e.what();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unexpected failure";
  }
}

}  // namespace folium::app

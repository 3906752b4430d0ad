// The profile decoder, fed any bytes as a .foliumprofile file. A profile that decodes must
// encode and decode back to itself, and yield a domain identifier.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/folium_provisioning.hpp"
#include "fuzz/fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const folium::FoliumProvisioning profile = folium::FoliumProvisioning::decode(bytes);
    const folium::FoliumProvisioning again = folium::FoliumProvisioning::decode(profile.encode());
    check(again == profile);
    check(profile.domainIdentifier().starts_with("folium-"));
    (void)profile.instanceURL.isAbsoluteHttp();
  } catch (const folium::ProfileError& error) {
    check(*error.what() != '\0');
  }
  return 0;
}

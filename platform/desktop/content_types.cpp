#include "platform/desktop/content_types.hpp"

#include <gio/gio.h>

#include <memory>

namespace folium::platform {
namespace {

struct GFreeDeleter {
  void operator()(gchar* text) const noexcept { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

}  // namespace

std::string contentTypeForFilenameExtension(std::string_view extension) {
  if (extension.empty() || extension.find('\0') != std::string_view::npos) return {};
  // A name made of the extension alone: guessing on a real file name would let the
  // database match whole names ("README", "Makefile") or longer suffixes (".tar.gz").
  const std::string name = "x." + std::string(extension);
  // Without data GIO calls every guess uncertain that more than one type claims (".html",
  // ".json", ".py"); its answer is then the type the database weighs highest, which is the
  // one wanted. Only a guess that fell back to "unknown" is dropped.
  const GText guessed(g_content_type_guess(name.c_str(), nullptr, 0, nullptr));
  if (!guessed || g_content_type_is_unknown(guessed.get())) return {};
  const GText mimeType(g_content_type_get_mime_type(guessed.get()));
  if (!mimeType) return {};
  std::string type(mimeType.get());
  if (type == kDataContentType || !contentTypeConforms(type, kDataContentType)) return {};
  return type;
}

bool contentTypeConforms(std::string_view type, std::string_view supertype) {
  const std::string typeText(type);
  const std::string supertypeText(supertype);
  return g_content_type_is_a(typeText.c_str(), supertypeText.c_str());
}

}  // namespace folium::platform

#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace folium::devserver {

// How much of a document's contents search reads; the rest is not indexed.
inline constexpr std::size_t kMaxIndexedBytes = 1 << 20;
inline constexpr std::size_t kMaxPdfScannedBytes = 16 << 20;

// The words search should find in a document's contents: text files as they are (ill-formed
// UTF-8 replaced), the visible text of simple PDFs, nothing for other types. Never throws
// for unreadable files: they just have no words.
std::string indexableText(const std::filesystem::path& file, std::string_view contentType,
                          std::string_view name);

}  // namespace folium::devserver

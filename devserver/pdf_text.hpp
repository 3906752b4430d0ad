#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace folium::devserver {

// A small, valid PDF of plain text pages (A4, Helvetica, WinAnsi encoding, uncompressed),
// enough for sample documents that viewers open and search can read. Characters outside
// the encoding come out as "?".
std::string makeTextPdf(std::string_view title, const std::vector<std::string>& lines);

// The text that a PDF shows through uncompressed content streams, as UTF-8, one line per
// text positioning step. Compressed streams and embedded fonts are skipped: this finds the
// words of simple documents only, and never fails.
std::string extractPdfText(std::string_view pdf);

}  // namespace folium::devserver

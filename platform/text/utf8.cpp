#include "platform/text/utf8.hpp"

namespace folium::platform {
namespace {

// How many bytes from `i` form a well-formed sequence (`valid`), or else make up the longest
// start of one (at least 1): the unit that is replaced as a whole.
struct Sequence {
  std::size_t length;
  bool valid;
};

Sequence sequenceAt(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return {1, true};
  std::size_t needed = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {1, false};
  }
  std::size_t seen = 0;
  while (seen < needed && i + 1 + seen < text.size()) {
    const auto next = static_cast<unsigned char>(text[i + 1 + seen]);
    if (next < low || next > high) break;
    low = 0x80;
    high = 0xBF;
    ++seen;
  }
  return {1 + seen, seen == needed};
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Sequence sequence = sequenceAt(text, i);
    if (!sequence.valid) return false;
    i += sequence.length;
  }
  return true;
}

std::string sanitizeUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Sequence sequence = sequenceAt(text, i);
    if (sequence.valid) {
      out.append(text.substr(i, sequence.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += sequence.length;
  }
  return out;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace folium::platform

// The devserver's multipart/form-data reader. The input's first line is the request's
// Content-Type, the rest its body. The body is read twice: whole, and in pieces of sizes
// drawn from the input, as a network would deliver it, and one byte at a time (which meets
// every limit at its exact edge). All reads must see the same parts,
// the same bytes and the same end: done, or the same refusal.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devserver/multipart_parser.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

using folium::devserver::MultipartError;
using folium::devserver::MultipartParser;
using folium::devserver::MultipartPartHeader;

struct Reading {
  std::vector<std::string> events;  // part headers and bytes, in order, bytes joined
  std::optional<std::string> error;
  bool done = false;

  bool operator==(const Reading&) const = default;
};

Reading read(const std::string& boundary, std::string_view body, std::uint32_t seed) {
  Reading reading;
  auto onBegin = [&](const MultipartPartHeader& header) {
    reading.events.push_back("part " + header.name + "|" + header.filename.value_or("-") + "|" +
                             header.contentType);
    reading.events.emplace_back("");
  };
  auto onData = [&](std::string_view bytes) {
    check(!reading.events.empty() && !bytes.empty());
    reading.events.back().append(bytes);
  };
  MultipartParser parser(boundary, onBegin, onData);
  try {
    // Seed 0: whole; 1: one byte at a time; else pieces of 0 to 63 bytes.
    std::uint32_t state = seed;
    while (!body.empty()) {
      std::size_t piece = body.size();
      if (seed == 1) {
        piece = 1;
      } else if (seed != 0) {
        state = state * 1103515245u + 12345u;
        piece = std::min<std::size_t>(body.size(), (state >> 16) % 64);
      }
      parser.feed(body.substr(0, piece));
      body.remove_prefix(piece);
    }
    parser.finish();
    reading.done = parser.done();
    check(reading.done);
  } catch (const MultipartError& error) {
    reading.error = error.what();
  }
  return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t eol = input.find('\n');
  if (eol == std::string_view::npos) return 0;
  std::optional<std::string> boundary;
  try {
    boundary = MultipartParser::boundaryOf(input.substr(0, eol));
  } catch (const MultipartError&) {
    return 0;
  }
  if (!boundary) return 0;
  check(!boundary->empty());
  const std::string_view body = input.substr(eol + 1);
  std::uint32_t seed = 2;
  for (const char c : body) seed = seed * 31 + static_cast<unsigned char>(c);
  const Reading whole = read(*boundary, body, 0);
  check(read(*boundary, body, seed < 2 ? seed + 2 : seed) == whole);
  check(read(*boundary, body, 1) == whole);
  return 0;
}

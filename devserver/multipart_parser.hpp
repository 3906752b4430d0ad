#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace folium::devserver {

class MultipartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MultipartPartHeader {
  std::string name;
  // The "filename" parameter exactly as written in the header: senders escape quotes and
  // line breaks as %22, %0D, %0A, and those escapes are kept, not decoded.
  std::optional<std::string> filename;
  std::string contentType;  // empty when the part has no Content-Type line
};

// A streaming multipart/form-data reader: bytes go in as they arrive, in pieces of any size,
// and come out as parts, so an upload of any size is never held in memory whole. Binary-safe.
// Not thread-safe; one body per parser.
class MultipartParser {
 public:
  using PartBegin = std::function<void(const MultipartPartHeader&)>;
  // The next bytes of the current part; a part may arrive in many pieces.
  using PartData = std::function<void(std::string_view)>;

  static constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
  static constexpr std::size_t kMaxParts = 64;

  // `boundary` as in the Content-Type header, without the leading "--".
  MultipartParser(std::string boundary, PartBegin onBegin, PartData onData);

  // The boundary of a "multipart/form-data; boundary=..." Content-Type (quoted or not); none
  // for another type or a missing or unusable boundary.
  static std::optional<std::string> boundaryOf(std::string_view contentType);

  // Throws MultipartError on malformed input; exceptions from the callbacks pass through.
  void feed(std::string_view bytes);
  // To call after the last byte: throws MultipartError unless the closing boundary came.
  void finish();
  bool done() const { return state_ == State::done; }

 private:
  enum class State { preamble, afterDelimiter, headers, body, done };
  void parseHeaders(std::string_view block);

  std::string delimiter_;  // CRLF "--" boundary
  PartBegin onBegin_;
  PartData onData_;
  State state_ = State::preamble;
  std::string buffer_;
  std::size_t parts_ = 0;
};

}  // namespace folium::devserver

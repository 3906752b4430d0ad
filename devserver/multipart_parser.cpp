#include "devserver/multipart_parser.hpp"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace folium::devserver {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

struct Parameter {
  std::string key;  // lower-cased
  std::string value;
};

// Parameters after the first ";" of a header value: key=token or key="quoted". A quoted
// value ends at the first quote followed by the end of the header or by ";": senders that
// leave a quote unescaped inside a file name still get their name back whole. Backslashes
// are plain characters (file names keep them).
std::vector<Parameter> parameters(std::string_view value) {
  std::vector<Parameter> out;
  size_t i = value.find(';');
  while (i != std::string_view::npos && i < value.size()) {
    ++i;  // past ';'
    while (i < value.size() && isBlank(value[i])) ++i;
    size_t equals = value.find('=', i);
    size_t semicolon = value.find(';', i);
    if (equals == std::string_view::npos ||
        (semicolon != std::string_view::npos && semicolon < equals)) {
      i = semicolon;
      continue;
    }
    Parameter p{lower(trim(value.substr(i, equals - i))), {}};
    i = equals + 1;
    while (i < value.size() && isBlank(value[i])) ++i;
    if (i < value.size() && value[i] == '"') {
      size_t close = std::string_view::npos;
      for (size_t q = value.find('"', i + 1); q != std::string_view::npos;
           q = value.find('"', q + 1)) {
        size_t after = q + 1;
        while (after < value.size() && isBlank(value[after])) ++after;
        if (after == value.size() || value[after] == ';') {
          close = q;
          break;
        }
      }
      if (close == std::string_view::npos) throw MultipartError("unterminated quoted parameter");
      p.value = std::string(value.substr(i + 1, close - i - 1));
      i = value.find(';', close + 1);
    } else {
      size_t end = value.find(';', i);
      p.value = std::string(trim(value.substr(i, end == std::string_view::npos ? end : end - i)));
      i = end;
    }
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace

MultipartParser::MultipartParser(std::string boundary, PartBegin onBegin, PartData onData)
    : delimiter_("\r\n--" + boundary),
      onBegin_(std::move(onBegin)),
      onData_(std::move(onData)),
      // The first boundary line may open the body without a line break before it.
      buffer_("\r\n") {}

std::optional<std::string> MultipartParser::boundaryOf(std::string_view contentType) {
  size_t semicolon = contentType.find(';');
  if (lower(trim(contentType.substr(0, semicolon))) != "multipart/form-data") return std::nullopt;
  for (const Parameter& p : parameters(contentType)) {
    // 1 to 70 characters; longer or empty ones cannot delimit anything reliably.
    if (p.key == "boundary" && !p.value.empty() && p.value.size() <= 200) return p.value;
  }
  return std::nullopt;
}

void MultipartParser::feed(std::string_view bytes) {
  if (state_ == State::done) return;
  buffer_.append(bytes);
  std::boyer_moore_horspool_searcher searcher(delimiter_.begin(), delimiter_.end());
  size_t consumed = 0;
  auto rest = [&] { return std::string_view(buffer_).substr(consumed); };
  while (state_ != State::done) {
    if (state_ == State::preamble || state_ == State::body) {
      std::string_view data = rest();
      auto found = std::search(data.begin(), data.end(), searcher);
      if (found == data.end()) {
        // Keep what could be the start of a delimiter split across two pieces.
        size_t keep = std::min(data.size(), delimiter_.size() - 1);
        if (state_ == State::body && data.size() > keep)
          onData_(data.substr(0, data.size() - keep));
        consumed += data.size() - keep;
        break;
      }
      size_t at = static_cast<size_t>(found - data.begin());
      if (state_ == State::body && at > 0) onData_(data.substr(0, at));
      consumed += at + delimiter_.size();
      state_ = State::afterDelimiter;
    } else if (state_ == State::afterDelimiter) {
      std::string_view data = rest();
      if (data.size() < 2) break;
      if (data.substr(0, 2) == "--") {
        state_ = State::done;
        consumed = buffer_.size();  // the epilogue is ignored
        break;
      }
      size_t i = 0;
      while (i < data.size() && isBlank(data[i])) ++i;
      if (i > 256) throw MultipartError("malformed boundary line");
      if (data.size() - i < 2) break;
      if (data.substr(i, 2) != "\r\n") throw MultipartError("malformed boundary line");
      consumed += i + 2;
      state_ = State::headers;
    } else if (state_ == State::headers) {
      std::string_view data = rest();
      size_t end;
      size_t skip;
      if (data.substr(0, 2) == "\r\n") {
        end = 0;
        skip = 2;
      } else {
        end = data.find("\r\n\r\n");
        skip = 4;
      }
      if (end == std::string_view::npos) {
        // Headers of the longest size allowed still end within the next 4 bytes (their blank
        // line): only past those are they too long, however the bytes were split.
        if (data.size() >= kMaxHeaderBytes + 4) throw MultipartError("part headers are too long");
        break;  // wait for the rest of the headers
      }
      if (end > kMaxHeaderBytes) throw MultipartError("part headers are too long");
      if (++parts_ > kMaxParts) throw MultipartError("too many parts");
      parseHeaders(data.substr(0, end));
      consumed += end + skip;
      state_ = State::body;
    }
  }
  buffer_.erase(0, consumed);
}

void MultipartParser::parseHeaders(std::string_view block) {
  MultipartPartHeader header;
  bool named = false;
  while (!block.empty()) {
    size_t eol = block.find("\r\n");
    std::string_view line = block.substr(0, eol);
    block = eol == std::string_view::npos ? std::string_view() : block.substr(eol + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) throw MultipartError("malformed part header line");
    std::string name = lower(trim(line.substr(0, colon)));
    std::string_view value = trim(line.substr(colon + 1));
    if (name == "content-disposition") {
      for (const Parameter& p : parameters(value)) {
        if (p.key == "name") {
          header.name = p.value;
          named = true;
        } else if (p.key == "filename") {
          header.filename = p.value;
        }
      }
    } else if (name == "content-type") {
      header.contentType = std::string(value);
    }
  }
  if (!named) throw MultipartError("a part has no name in its Content-Disposition");
  onBegin_(header);
}

void MultipartParser::finish() {
  if (state_ != State::done) throw MultipartError("the body ends before its closing boundary");
}

}  // namespace folium::devserver

#include "devserver/search_query.hpp"

namespace folium::devserver {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::optional<std::string> ftsMatchExpression(std::string_view text) {
  std::string expression;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && isSpace(text[i])) ++i;
    size_t start = i;
    while (i < text.size() && !isSpace(text[i])) ++i;
    if (start == i) break;
    if (!expression.empty()) expression += ' ';
    expression += '"';
    for (char c : text.substr(start, i - start)) {
      if (c == '"') expression += '"';
      // A NUL would end the expression early inside SQLite's tokenizer.
      if (c != '\0') expression += c;
    }
    expression += "\"*";
  }
  if (expression.empty()) return std::nullopt;
  return expression;
}

}  // namespace folium::devserver

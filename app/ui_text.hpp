#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Marks a translatable text for lupdate without any Qt header; the same definition as Qt's,
// so either may come first.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(scope, x) x
#endif

namespace folium::app {

// A text the view models hand to the screen (or to foliumctl): its French source text, which
// is also its translation key, with %1, %2… where the values go, and the values. Names,
// addresses and error descriptions are inserted verbatim. Every source text is written at
// its origin as QT_TRANSLATE_NOOP("folium", "…"), so that lupdate finds it; the window
// translates it in that context, foliumctl shows it in French.
struct UiText {
  static constexpr const char* kContext = "folium";

  UiText() = default;
  UiText(const char* source, std::vector<std::string> arguments = {})
      : source(source), arguments(std::move(arguments)) {}

  const char* source = nullptr;  // null: no text
  std::vector<std::string> arguments;

  bool empty() const { return source == nullptr; }
  // The text in French: the source with its values in place.
  std::string french() const { return empty() ? std::string() : fill(source, arguments); }

  // `pattern` with each %N (1 to 9) replaced by arguments[N-1], in one pass: a value that
  // itself holds "%1" stays as it is. A % not followed by the number of a value stays too.
  static std::string fill(std::string_view pattern, const std::vector<std::string>& arguments);

  bool operator==(const UiText& other) const {
    return std::string_view(source ? source : "") ==
               std::string_view(other.source ? other.source : "") &&
           arguments == other.arguments;
  }
};

}  // namespace folium::app

#include "app/ui_text.hpp"

namespace folium::app {

std::string UiText::fill(std::string_view pattern, const std::vector<std::string>& arguments) {
  std::string text;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' &&
        pattern[i + 1] <= '9') {
      const std::size_t index = static_cast<std::size_t>(pattern[i + 1] - '1');
      if (index < arguments.size()) {
        text += arguments[index];
        ++i;
        continue;
      }
    }
    text += pattern[i];
  }
  return text;
}

}  // namespace folium::app

#include "app/url_entry.hpp"

#include <algorithm>
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <cctype>

namespace folium::app {
namespace {

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return text;
}

// "scheme:" at the start of the text, as RFC 3986 spells a scheme.
bool startsWithScheme(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
  return std::all_of(text.begin(), text.begin() + colon, [](unsigned char c) {
    return std::isalnum(c) || c == '+' || c == '-' || c == '.';
  });
}

// `text` with every byte that `keep` refuses written as %XX.
template <typename Keep>
std::string percentEncoded(std::string_view text, Keep keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : text) {
    if (keep(c)) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}

}  // namespace

OpenURLAction handleOpenURL(std::string_view url, AppShell& shell, const AppServices& services,
                            std::function<void(ImportOutcome)> imported) {
  if (auto request = FoliumSearchRequest::fromURL(url)) {
    shell.activate();
    shell.openSearchWindow(*request);
    return OpenURLAction::search;
  }
  if (auto path = pathFromFileURL(url);
      path && lowerCase(path->extension().string()) == ".foliumprofile") {
    shell.activate();
    shell.openMainWindow();
    importProfile(services, *path, std::move(imported));
    return OpenURLAction::importProfile;
  }
  return OpenURLAction::ignored;
}

std::string urlFromArgument(std::string_view argument,
                            const std::filesystem::path& workingDirectory) {
  if (startsWithScheme(argument)) {
    // Links typed in a terminal or passed on by some programs hold raw UTF-8 and spaces
    // ("q=réunion"), which a URL may not: they are encoded as a browser would. Everything
    // else, escapes included, is left as it is.
    return percentEncoded(argument, [](unsigned char c) { return c > 0x20 && c < 0x7f; });
  }
  std::filesystem::path path(argument);
  if (path.is_relative()) path = workingDirectory / path;
  path = path.lexically_normal();
  return "file://" + percentEncoded(path.string(), [](unsigned char c) {
           return std::isalnum(c) ||
                  std::string_view("/-._~!$&'()*+,;=:@").find(static_cast<char>(c)) !=
                      std::string_view::npos;
         });
}

std::optional<std::filesystem::path> pathFromFileURL(std::string_view text) {
  auto parsed = boost::urls::parse_uri(text);
  if (!parsed) return std::nullopt;
  const boost::urls::url_view url = *parsed;
  if (lowerCase(std::string(url.scheme())) != "file") return std::nullopt;
  if (url.has_authority() && !url.host().empty() && lowerCase(url.host()) != "localhost") {
    return std::nullopt;
  }
  std::string path = url.path();
  if (path.empty() || path.front() != '/') return std::nullopt;
  return std::filesystem::path(path);
}

}  // namespace folium::app

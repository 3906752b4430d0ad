#include "tests/support/devserver.hpp"

#include <sys/stat.h>

#include <stdexcept>

namespace folium::testing {

namespace {

std::string jsonString(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          quoted += escaped;
        } else {
          quoted += c;
        }
    }
  }
  return quoted + "\"";
}

}  // namespace

Devserver::Devserver(std::vector<std::string> extraArgs) : dataDir_(dir_ / "data") {
  std::filesystem::create_directory(dataDir_);
  std::filesystem::permissions(dataDir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  std::vector<std::string> argv = {programPath("folium-devserver").string(),
                                   "--port",
                                   "0",
                                   "--data",
                                   dataDir_.string(),
                                   "--token",
                                   token_};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  process_ = std::make_unique<BackgroundProcess>(argv, dir_.isolatedEnv());
  // The server prints its address once it accepts connections.
  baseURL_ = process_->readLine();
  if (!baseURL_.starts_with("http://127.0.0.1:") || !baseURL_.ends_with("/")) {
    throw std::runtime_error("folium-devserver announced an unexpected address: \"" + baseURL_ +
                             "\"");
  }
}

Devserver::~Devserver() { process_.reset(); }

std::filesystem::path Devserver::profilePath() {
  if (profile_.empty()) {
    const auto path = dir_ / "Test.foliumprofile";
    writeFile(path, "{\"instance_url\": " + jsonString(baseURL_) +
                        ", \"token\": " + jsonString(token_) + ", \"display_name\": \"Test\"}\n");
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::replace);
    profile_ = path;
  }
  return profile_;
}

const std::filesystem::path& Devserver::dataDir() const { return dataDir_; }

}  // namespace folium::testing

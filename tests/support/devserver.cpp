#include "tests/support/devserver.hpp"

#include <boost/json.hpp>
#include <stdexcept>

#include "platform/files/private_folder.hpp"

namespace folium::testing {

Devserver::Devserver(std::vector<std::string> extraArgs, const std::filesystem::path& parent)
    : dir_(parent), dataDir_(dir_ / "data") {
  platform::makePrivateFolder(dataDir_);
  start(extraArgs);
}

void Devserver::start(const std::vector<std::string>& extraArgs) {
  std::vector<std::string> argv = {programPath("folium-devserver").string(),
                                   "--port",
                                   port_,
                                   "--data",
                                   dataDir_.string(),
                                   "--token",
                                   token_};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  process_ = std::make_unique<BackgroundProcess>(argv, dir_.isolatedEnv());
  // The server prints its address once it accepts connections.
  // Seeding a large tree (--bulk) can take a while before the server listens.
  baseURL_ = process_->readLine(std::chrono::minutes(10));
  if (!baseURL_.starts_with("http://127.0.0.1:") || !baseURL_.ends_with("/")) {
    throw std::runtime_error("folium-devserver announced an unexpected address: \"" + baseURL_ +
                             "\"");
  }
  port_ = baseURL_.substr(17, baseURL_.size() - 18);
}

Devserver::~Devserver() { process_.reset(); }

std::filesystem::path Devserver::profilePath() {
  if (profile_.empty()) {
    const auto path = dir_ / "Test.foliumprofile";
    writeFile(path, boost::json::serialize(boost::json::object{
                        {"instance_url", baseURL_}, {"token", token_}, {"display_name", "Test"}}));
    profile_ = path;
  }
  return profile_;
}

const std::filesystem::path& Devserver::dataDir() const { return dataDir_; }

}  // namespace folium::testing

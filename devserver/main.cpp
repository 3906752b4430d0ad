// folium-devserver: a reference document server for trying Folium, its tests, demo and
// benchmarks. Prints its base URL as the first line on stdout, then serves until SIGINT or
// SIGTERM.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devserver/api_server.hpp"
#include "devserver/demo_tree.hpp"
#include "devserver/store.hpp"
#include "devserver/temp_file.hpp"
#include "platform/files/whole_file.hpp"

namespace {

using folium::devserver::ApiServer;
using folium::devserver::ServerSettings;
using folium::devserver::Store;
using folium::devserver::TempFile;

constexpr int kUsageError = 2;
constexpr int kFailure = 1;

int fail(int code, const std::string& message) {
  std::cerr << "folium-devserver: " << message << "\n";
  return code;
}

// Tokens of a token file: one per line, surrounding blanks ignored, empty lines and lines
// starting with "#" skipped.
std::vector<std::string> readTokenFile(const std::string& path) {
  std::istringstream in(folium::platform::readWholeFile(path, folium::platform::kSmallFile,
                                                        "cannot read token file"));
  std::vector<std::string> tokens;
  std::string line;
  while (std::getline(in, line)) {
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    size_t last = line.find_last_not_of(" \t\r");
    tokens.push_back(line.substr(first, last - first + 1));
  }
  return tokens;
}

// Written whole or not at all, readable by the user only: it holds a token.
void writeProfile(const std::filesystem::path& path, const std::string& instanceURL,
                  const std::string& token, const std::string& displayName) {
  boost::json::object profile;
  profile["instance_url"] = instanceURL;
  profile["token"] = token;
  profile["display_name"] = displayName;
  std::filesystem::path dir = path.parent_path().empty() ? "." : path.parent_path();
  TempFile file(dir);
  file.write(boost::json::serialize(profile));
  file.write("\n");
  file.commitTo(path);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reference document server for Folium.", "folium-devserver"};
  std::string dataDir;
  std::vector<std::string> tokens;
  std::string tokenFile;
  int port = 0;
  std::string host = "127.0.0.1";
  bool demo = false;
  std::int64_t bulk = 0;
  std::string profilePath;
  std::string name = "Démo Folium";
  double failRate = 0;
  double dropRate = 0;
  std::int64_t latency = 0;
  std::uint64_t seed = 0;
  bool logRequests = false;

  app.add_option("--data", dataDir, "Folder holding the database and contents (created 0700)")
      ->required();
  app.add_option("--token", tokens, "Accepted bearer token (repeatable)");
  app.add_option("--token-file", tokenFile, "File of accepted tokens, one per line");
  app.add_option("--port", port, "Port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535));
  app.add_option("--host", host, "Address to listen on")->capture_default_str();
  app.add_flag("--demo", demo, "Seed a French sample tree when the database is empty");
  app.add_option("--bulk", bulk,
                 "Seed this many generated documents in a workspace of their own when the "
                 "database is empty (benchmarks)")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{10000000}));
  app.add_option("--write-profile", profilePath,
                 "Write a .foliumprofile for this server (mode 0600)");
  app.add_option("--name", name, "Display name written into the profile")->capture_default_str();
  app.add_option("--fail-rate", failRate, "Share of requests answered with status 500")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--drop-rate", dropRate,
                 "Share of responses whose connection is closed in the middle of the body")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--latency", latency, "Delay added before every answer, in milliseconds")
      ->check(CLI::Range(std::int64_t{0}, std::int64_t{600000}));
  auto seedOption = app.add_option("--seed", seed, "Seed of the fault draws (reproducible runs)");
  app.add_flag("--log-requests", logRequests, "Log one line per request on stderr");

  // A later --data, --port... wins, so wrappers can append to a command line they were given.
  for (auto* option : app.get_options()) {
    if (option->get_expected_max() == 1)
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsageError;
  }

  if (!tokenFile.empty()) {
    try {
      auto fromFile = readTokenFile(tokenFile);
      tokens.insert(tokens.end(), fromFile.begin(), fromFile.end());
    } catch (const std::exception& e) {
      return fail(kUsageError, e.what());
    }
  }
  for (const auto& token : tokens) {
    if (token.empty()) return fail(kUsageError, "an empty --token would let anyone in");
  }
  if (tokens.empty()) {
    return fail(kUsageError, "no token configured: give --token or --token-file");
  }

  // Signals are taken by a thread of their own; every thread started from here on inherits
  // the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<Store> store;
  try {
    store = std::make_unique<Store>(dataDir);
    if ((demo || bulk > 0) && store->isEmpty()) {
      if (demo) folium::devserver::seedDemoTree(*store);
      if (bulk > 0) store->seedBulk("Volumineux", bulk);
    }
  } catch (const std::exception& e) {
    return fail(kFailure, "cannot use data folder " + dataDir + ": " + e.what());
  }

  ServerSettings settings;
  settings.host = host;
  settings.port = port;
  settings.tokens = tokens;
  settings.faults.failRate = failRate;
  settings.faults.dropRate = dropRate;
  settings.faults.latency = std::chrono::milliseconds(latency);
  if (*seedOption) settings.faults.seed = seed;
  settings.logRequests = logRequests;

  ApiServer server(*store, settings);
  try {
    server.bind();
  } catch (const std::exception& e) {
    return fail(kFailure, e.what());
  }
  if (!profilePath.empty()) {
    try {
      writeProfile(profilePath, server.baseURL(), tokens.front(), name);
    } catch (const std::exception& e) {
      return fail(kFailure, std::string("cannot write profile: ") + e.what());
    }
  }
  std::cout << server.baseURL() << std::endl;

  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    int received = 0;
    sigwait(&stopSignals, &received);
    // A signal that comes before the server is listening would be lost on a single stop().
    while (!finished.load()) {
      server.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  bool served = server.run();
  finished = true;
  // Wakes the watcher if serving ended on its own.
  kill(getpid(), SIGTERM);
  watcher.join();
  if (!served) return fail(kFailure, "the server stopped unexpectedly");
  return 0;
}

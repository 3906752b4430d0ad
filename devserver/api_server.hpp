#pragma once

#include <memory>
#include <string>
#include <vector>

#include "devserver/fault_injector.hpp"
#include "devserver/store.hpp"

namespace folium::devserver {

struct ServerSettings {
  std::string host = "127.0.0.1";
  int port = 0;                     // 0: any free port
  std::vector<std::string> tokens;  // accepted bearer tokens; at least one
  FaultSettings faults;
  bool logRequests = false;  // one line per request on stderr (method, path, status)
};

// The HTTP interface of the document server over a Store: the tree, contents, change feed
// and search under /api/v1/, every request authenticated by a bearer token.
//
// Threading: bind() and run() from one thread; run() serves on a pool of worker threads
// until stop(), which any thread (a signal watcher) may call once run() has started or before.
class ApiServer {
 public:
  ApiServer(Store& store, ServerSettings settings);
  ~ApiServer();
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Binds the listening socket and returns the port. Throws std::runtime_error.
  int bind();
  // "http://HOST:PORT/" once bound.
  std::string baseURL() const;
  // Serves until stop(); returns false if serving could not start.
  bool run();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace folium::devserver

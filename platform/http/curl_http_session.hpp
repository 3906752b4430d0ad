#pragma once

#include <memory>

#include "platform/http/http_session.hpp"

namespace folium::platform {

// The libcurl session. Every send() borrows an easy handle from a pool and gives it back
// when done; a handle keeps its connections open across requests, so a request reuses the
// connection an earlier one left, whichever thread sends it. Requests running at the same
// time use distinct handles, since libcurl cannot share one connection pool between
// threads that transfer at once. All member functions are thread-safe.
class CurlHttpSession : public HttpSession {
 public:
  CurlHttpSession();
  ~CurlHttpSession() override;

  HttpResponse send(const HttpRequest& request) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace folium::platform

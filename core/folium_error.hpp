#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace folium {

// An HTTP-level failure of a server request. Transport failures (platform::TransportError)
// and bodies that do not decode (DecodingError) keep their own types.
class FoliumError : public std::exception {
 public:
  // In this order: the position is the code the error has when handed to the desktop.
  enum class Kind { http, invalidResponse, missingDownloadURL };

  // `reason`: what the server said of the failure, when its body said it (see reason()).
  static FoliumError http(int status, std::string reason = {}) {
    FoliumError error(Kind::http, status);
    error.reason_ = std::move(reason);
    return error;
  }
  static FoliumError invalidResponse() { return FoliumError(Kind::invalidResponse, 0); }
  static FoliumError missingDownloadURL() { return FoliumError(Kind::missingDownloadURL, 0); }

  Kind kind() const noexcept { return kind_; }
  int code() const noexcept { return static_cast<int>(kind_); }
  int status() const noexcept { return status_; }  // http only; 0 otherwise
  const char* what() const noexcept override { return message_.c_str(); }
  // The server's own words for an http failure (an error body's "error" text, one line,
  // bounded), or empty. Neither part of what() nor of equality: the status is the failure.
  const std::string& reason() const noexcept { return reason_; }

  bool operator==(const FoliumError& other) const noexcept {
    return kind_ == other.kind_ && status_ == other.status_;
  }

 private:
  FoliumError(Kind kind, int status);
  Kind kind_;
  int status_;
  std::string message_;
  std::string reason_;
};

// The instance address cannot carry a request: it is not an absolute http or https URL with
// a host (a bare host name, "localhost:8080", another scheme). Nothing is sent.
class InvalidAddressError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace folium

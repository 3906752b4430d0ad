#pragma once

#include <boost/json.hpp>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "platform/fileprovider/error_object.hpp"

namespace folium::platform::service {

// One end of a stream socket carrying JSON objects, one per line: how the manager client
// talks to the supervisor and the supervisor to its drive workers. Owns the descriptor.
//
// Threading: one thread reads (readObject) while any number write (writeObject, serialised
// by a mutex of its own); shutdown() may be called from any thread and makes a blocked
// read return.
class LineChannel {
 public:
  explicit LineChannel(int fd);
  ~LineChannel();
  LineChannel(const LineChannel&) = delete;
  LineChannel& operator=(const LineChannel&) = delete;

  // The next object; none at the end of the stream, on a read error, on a line that is not
  // a JSON object (the peer is not ours), or once `timeout` has passed.
  std::optional<boost::json::object> readObject(
      std::optional<std::chrono::milliseconds> timeout = std::nullopt);
  // False when the peer is gone.
  bool writeObject(const boost::json::object& object);
  void shutdown() noexcept;
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string buffer_;  // read but not yet returned; only the reading thread touches it
  std::mutex writeMutex_;
};

// Error objects on the wire: {"domain","code","description","userInfo"}; null for none.
boost::json::value errorToJson(const ErrorPtr& error);
ErrorPtr errorFromJson(const boost::json::value& value);
// An error of the POSIX domain with `code` (an errno) and `description`.
ErrorPtr posixError(int code, std::string description);

// A string member of a request or reply; empty when absent or not a string.
std::string stringMember(const boost::json::object& object, std::string_view key);

}  // namespace folium::platform::service

#pragma once

#include <boost/json.hpp>
#include <functional>
#include <memory>

namespace folium::platform::service {

// A connection of a client (the application, foliumctl) to the drive service, started on
// demand: when nothing answers on the service's socket, the supervisor found beside the
// calling program (or on PATH) is started detached, with the caller's environment. Two
// clients racing to start it take turns on a lock file beside the socket, so one supervisor
// runs. Requests are pipelined over one socket, which stays open while the connection lives
// (the supervisor stays up while a client is connected).
//
// Threading: any thread may call. Each reply handler is called exactly once, on a thread of
// the connection's (never the caller's), also when the connection is destroyed first.
class ServiceConnection {
 public:
  // A reply object: the supervisor's, or {"error": {…}} when it could not be reached.
  using ReplyHandler = std::function<void(boost::json::object reply)>;

  ServiceConnection();
  ~ServiceConnection();
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;

  void call(boost::json::object request, ReplyHandler done);
  // Sends and waits for the reply.
  boost::json::object callAndWait(boost::json::object request);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace folium::platform::service

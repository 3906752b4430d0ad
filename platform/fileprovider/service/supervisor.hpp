#pragma once

#include <boost/json.hpp>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/fileprovider/domain.hpp"
#include "platform/fileprovider/service/domain_registry.hpp"
#include "platform/time/clock.hpp"

namespace folium::platform::service {

class LineChannel;
class WorkerLink;

// folium-fileproviderd without arguments: one per user. Keeps the registry of domains,
// runs one drive worker process per registered domain (restarting one that dies, with
// back-off), and answers the manager clients on the user's socket. Exits on SIGTERM or
// SIGINT (stopping and unmounting every drive), and when no domain is registered and no
// client is connected.
//
// Threading: run() on the main thread, with SIGTERM, SIGINT and SIGHUP blocked in every
// thread (block them before constructing: the clock starts a thread). Each client has a
// thread; each worker a thread that waits for its exit.
class Supervisor {
 public:
  // `program`: this executable, started again with --drive for each worker.
  explicit Supervisor(std::filesystem::path program);
  ~Supervisor();
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Serves until told to stop or idle; the process's exit status.
  int run();

  struct Worker;

 private:
  void serveClient(std::shared_ptr<LineChannel> channel);
  boost::json::object handle(const boost::json::object& request);
  boost::json::object forward(const std::string& identifier, boost::json::object request,
                              std::chrono::milliseconds timeout);
  boost::json::object driveStatus(const FileProviderDomain& domain);

  // Brings the workers in line with the registry. Callers hold opMutex_.
  void reconcile();
  // Asks the worker of a removed domain to send or keep aside its waiting edits; whether
  // the domain's state may go (nothing was left).
  bool finishEdits(const Worker& worker);
  void startWorker(const std::shared_ptr<Worker>& worker);
  void stopWorkers(const std::vector<std::shared_ptr<Worker>>& workers);
  void workerExited(const std::shared_ptr<Worker>& worker, int status);
  void scheduleRestart(const std::shared_ptr<Worker>& worker);
  void restart(const std::shared_ptr<Worker>& worker);
  std::shared_ptr<Worker> findWorker(const std::string& identifier);
  void wake();

  std::filesystem::path program_;
  std::filesystem::path drivesDir_;
  DomainRegistry registry_;
  int wakeFd_ = -1;

  std::mutex opMutex_;  // serialises registry changes with starting and stopping workers;
                        // taken before mutex_
  std::mutex mutex_;    // guards everything below
  std::condition_variable changed_;
  std::map<std::string, std::shared_ptr<Worker>> workers_;
  std::set<std::shared_ptr<LineChannel>> clients_;
  int busy_ = 0;  // client requests still being answered
  bool everConnected_ = false;
  bool shuttingDown_ = false;

  SystemClock clock_;  // last: destroyed first, so no restart runs on a half-destroyed object
};

}  // namespace folium::platform::service

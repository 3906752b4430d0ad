#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fileprovider/file_provider_manager.hpp"

namespace folium::platform {

// An in-memory file-provider service for tests, with the rules of the real one: adding an
// identifier that is registered keeps one domain in its place and takes the new name;
// removing an unknown identifier completes with an error naming it; managerForDomain()
// gives none for an identifier that is not registered; every completion runs exactly once.
//
// Every call is queued as it is made and takes effect only when it is delivered: the domain
// list changes, and a listing or a location is read, at that moment. So the order of
// delivery is the order in which the service handled the calls.
//  - `automatic`: a thread of the fake delivers the calls one by one in the order they were
//    made, never on the caller's thread.
//  - `held`: calls wait until the test delivers them with deliver(), deliverAll() or
//    deliverInOrder(); their completions then run on the test's thread, after the calls have
//    returned.
//
// Threading: every member may be called from any thread. Completions run without the
// fake's lock held, so they may call the fake again.
class FakeFileProviderManager final : public FileProviderManager,
                                      public std::enable_shared_from_this<FakeFileProviderManager> {
 public:
  enum class Delivery { automatic, held };

  static std::shared_ptr<FakeFileProviderManager> make(Delivery delivery = Delivery::held);
  ~FakeFileProviderManager() override;

  // The service's list, as it stands after the calls delivered so far.
  std::vector<FileProviderDomain> domains() const;
  // Registers domains at once, without a call (the state a test starts from).
  void setDomains(std::vector<FileProviderDomain> domains);
  // Each registered domain's root is `folder`/<display name>, as the real service mounts
  // drives under one folder. Without it, roots have no location unless set below.
  void setDrivesFolder(std::filesystem::path folder);
  // The location getUserVisibleURL() reports for one item of one domain (the root container
  // too); none makes the item unknown.
  void setUserVisibleURL(const std::string& domainIdentifier, const ItemIdentifier& item,
                         std::optional<std::filesystem::path> url);
  // The next call of `operation` ("addDomain", "removeDomain", "removeAllDomains",
  // "getDomains", "signalEnumerator", "getUserVisibleURL") completes with `error` and
  // changes nothing.
  void failNext(const std::string& operation, ErrorObject error);

  // Calls waiting for delivery, oldest first: "addDomain folium-a Alpha",
  // "removeDomain folium-c", "removeAllDomains", "getDomains",
  // "signalEnumerator folium-a NSFileProviderWorkingSetContainerItemIdentifier",
  // "getUserVisibleURL folium-a do:12".
  std::vector<std::string> pending() const;
  // Every call made so far, in the order they were made, in the same form.
  std::vector<std::string> calls() const;
  // Delivers the waiting call at `index` of pending(). False when there is none.
  bool deliver(std::size_t index = 0);
  // Delivers waiting calls oldest first until none waits (including calls the completions
  // make); returns how many.
  std::size_t deliverAll();
  // Delivers the waiting calls at these indexes of pending() as it stands now, in this
  // order. Throws std::out_of_range for an index that is not waiting.
  void deliverInOrder(const std::vector<std::size_t>& indexes);

  void addDomain(const FileProviderDomain& domain, ErrorHandler completionHandler) override;
  void removeDomain(const FileProviderDomain& domain, ErrorHandler completionHandler) override;
  void removeAllDomains(ErrorHandler completionHandler) override;
  void getDomains(DomainsHandler completionHandler) override;
  std::shared_ptr<DomainManager> managerForDomain(const FileProviderDomain& domain) override;

 private:
  class FakeDomainManager;
  struct Call {
    std::string description;
    std::string operation;
    // Applies the call to the state (lock held) and returns the completion to run after
    // the lock is released.
    std::function<std::function<void()>()> apply;
    std::shared_ptr<char> token;  // identity while the queue shifts
  };

  explicit FakeFileProviderManager(Delivery delivery);
  void enqueue(std::string operation, std::string description,
               std::function<std::function<void()>()> apply);
  // Takes the call's scripted failure, if one is waiting (lock held).
  ErrorPtr takeFailure(const std::string& operation);
  bool isRegistered(const std::string& identifier) const;       // lock held
  ErrorPtr unknownDomain(const std::string& identifier) const;  // lock held
  std::optional<std::filesystem::path> locate(const std::string& domainIdentifier,
                                              const ItemIdentifier& item) const;
  void runDeliveries();

  const Delivery delivery_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable queued_;
  std::deque<Call> pending_;
  std::vector<std::string> calls_;
  std::vector<FileProviderDomain> domains_;
  std::optional<std::filesystem::path> drivesFolder_;
  std::map<std::pair<std::string, ItemIdentifier>, std::optional<std::filesystem::path>> urls_;
  std::multimap<std::string, ErrorObject> failures_;
  bool stopping_ = false;
  std::thread deliverer_;  // automatic delivery only; joined by the destructor
};

}  // namespace folium::platform

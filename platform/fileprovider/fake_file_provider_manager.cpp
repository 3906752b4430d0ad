#include "platform/fileprovider/fake_file_provider_manager.hpp"

#include <algorithm>
#include <stdexcept>

namespace folium::platform {

class FakeFileProviderManager::FakeDomainManager final : public DomainManager {
 public:
  FakeDomainManager(std::weak_ptr<FakeFileProviderManager> owner, std::string identifier)
      : owner_(std::move(owner)), identifier_(std::move(identifier)) {}

  void signalEnumerator(const ItemIdentifier& container, ErrorHandler completion) override {
    auto owner = owner_.lock();
    if (!owner) return;
    owner->enqueue("signalEnumerator", "signalEnumerator " + identifier_ + " " + container,
                   [owner = owner.get(), identifier = identifier_, completion]() {
                     ErrorPtr error = owner->takeFailure("signalEnumerator");
                     if (!error && !owner->isRegistered(identifier)) {
                       error = owner->unknownDomain(identifier);
                     }
                     return [completion, error] { completion(error); };
                   });
  }

  void getUserVisibleURL(const ItemIdentifier& item, URLHandler completion) override {
    auto owner = owner_.lock();
    if (!owner) return;
    owner->enqueue("getUserVisibleURL", "getUserVisibleURL " + identifier_ + " " + item,
                   [owner = owner.get(), identifier = identifier_, item, completion]() {
                     ErrorPtr error = owner->takeFailure("getUserVisibleURL");
                     std::optional<std::filesystem::path> url;
                     if (!error) {
                       if (!owner->isRegistered(identifier)) {
                         error = owner->unknownDomain(identifier);
                       } else if (!(url = owner->locate(identifier, item))) {
                         error = std::make_shared<ErrorObject>(
                             fileProviderError(FileProviderErrorCode::noSuchItem, item));
                       }
                     }
                     return [completion, url, error] { completion(url, error); };
                   });
  }

 private:
  std::weak_ptr<FakeFileProviderManager> owner_;
  std::string identifier_;
};

std::shared_ptr<FakeFileProviderManager> FakeFileProviderManager::make(Delivery delivery) {
  auto fake = std::shared_ptr<FakeFileProviderManager>(new FakeFileProviderManager(delivery));
  if (delivery == Delivery::automatic) {
    fake->deliverer_ = std::thread([raw = fake.get()] { raw->runDeliveries(); });
  }
  return fake;
}

FakeFileProviderManager::FakeFileProviderManager(Delivery delivery) : delivery_(delivery) {}

FakeFileProviderManager::~FakeFileProviderManager() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  if (!deliverer_.joinable()) return;
  // The last owner may let go inside a completion, on the delivering thread itself.
  if (deliverer_.get_id() == std::this_thread::get_id()) {
    deliverer_.detach();
  } else {
    deliverer_.join();
  }
}

std::vector<FileProviderDomain> FakeFileProviderManager::domains() const {
  std::lock_guard lock(mutex_);
  return domains_;
}

void FakeFileProviderManager::setDomains(std::vector<FileProviderDomain> domains) {
  std::lock_guard lock(mutex_);
  domains_ = std::move(domains);
}

void FakeFileProviderManager::setDrivesFolder(std::filesystem::path folder) {
  std::lock_guard lock(mutex_);
  drivesFolder_ = std::move(folder);
}

void FakeFileProviderManager::setUserVisibleURL(const std::string& domainIdentifier,
                                                const ItemIdentifier& item,
                                                std::optional<std::filesystem::path> url) {
  std::lock_guard lock(mutex_);
  urls_[{domainIdentifier, item}] = std::move(url);
}

void FakeFileProviderManager::failNext(const std::string& operation, ErrorObject error) {
  std::lock_guard lock(mutex_);
  failures_.emplace(operation, std::move(error));
}

std::vector<std::string> FakeFileProviderManager::pending() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> descriptions;
  for (const auto& call : pending_) descriptions.push_back(call.description);
  return descriptions;
}

std::vector<std::string> FakeFileProviderManager::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

bool FakeFileProviderManager::deliver(std::size_t index) {
  std::function<void()> completion;
  {
    std::lock_guard lock(mutex_);
    if (index >= pending_.size()) return false;
    Call call = std::move(pending_[index]);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));
    completion = call.apply();
  }
  completion();
  return true;
}

std::size_t FakeFileProviderManager::deliverAll() {
  std::size_t delivered = 0;
  while (deliver(0)) ++delivered;
  return delivered;
}

void FakeFileProviderManager::deliverInOrder(const std::vector<std::size_t>& indexes) {
  // Indexes name the calls waiting now; later deliveries must not shift them.
  std::vector<const void*> chosen;
  {
    std::lock_guard lock(mutex_);
    for (std::size_t index : indexes) {
      if (index >= pending_.size()) {
        throw std::out_of_range("no waiting call at index " + std::to_string(index));
      }
      chosen.push_back(pending_[index].token.get());
    }
  }
  for (const void* token : chosen) {
    std::size_t position = 0;
    {
      std::lock_guard lock(mutex_);
      auto found = std::find_if(pending_.begin(), pending_.end(),
                                [token](const Call& call) { return call.token.get() == token; });
      if (found == pending_.end()) continue;
      position = static_cast<std::size_t>(found - pending_.begin());
    }
    deliver(position);
  }
}

void FakeFileProviderManager::addDomain(const FileProviderDomain& domain, ErrorHandler completion) {
  enqueue("addDomain", "addDomain " + domain.identifier + " " + domain.displayName,
          [this, domain, completion]() {
            ErrorPtr error = takeFailure("addDomain");
            if (!error) {
              auto found = std::find_if(
                  domains_.begin(), domains_.end(),
                  [&](const FileProviderDomain& d) { return d.identifier == domain.identifier; });
              if (found == domains_.end()) {
                domains_.push_back(domain);
              } else {
                found->displayName = domain.displayName;
              }
            }
            return [completion, error] { completion(error); };
          });
}

void FakeFileProviderManager::removeDomain(const FileProviderDomain& domain,
                                           ErrorHandler completion) {
  enqueue("removeDomain", "removeDomain " + domain.identifier, [this, domain, completion]() {
    ErrorPtr error = takeFailure("removeDomain");
    if (!error) {
      auto found = std::find_if(domains_.begin(), domains_.end(), [&](const FileProviderDomain& d) {
        return d.identifier == domain.identifier;
      });
      if (found == domains_.end()) {
        error = unknownDomain(domain.identifier);
      } else {
        domains_.erase(found);
      }
    }
    return [completion, error] { completion(error); };
  });
}

void FakeFileProviderManager::removeAllDomains(ErrorHandler completion) {
  enqueue("removeAllDomains", "removeAllDomains", [this, completion]() {
    ErrorPtr error = takeFailure("removeAllDomains");
    if (!error) domains_.clear();
    return [completion, error] { completion(error); };
  });
}

void FakeFileProviderManager::getDomains(DomainsHandler completion) {
  enqueue("getDomains", "getDomains", [this, completion]() {
    ErrorPtr error = takeFailure("getDomains");
    std::vector<FileProviderDomain> domains = error ? std::vector<FileProviderDomain>{} : domains_;
    return [completion, domains = std::move(domains), error] { completion(domains, error); };
  });
}

std::shared_ptr<DomainManager> FakeFileProviderManager::managerForDomain(
    const FileProviderDomain& domain) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back("managerForDomain " + domain.identifier);
    if (!isRegistered(domain.identifier)) return nullptr;
  }
  return std::make_shared<FakeDomainManager>(weak_from_this(), domain.identifier);
}

void FakeFileProviderManager::enqueue(std::string operation, std::string description,
                                      std::function<std::function<void()>()> apply) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(description);
    pending_.push_back(Call{std::move(description), std::move(operation), std::move(apply),
                            std::make_shared<char>()});
  }
  queued_.notify_one();
}

ErrorPtr FakeFileProviderManager::takeFailure(const std::string& operation) {
  auto found = failures_.find(operation);
  if (found == failures_.end()) return nullptr;
  auto error = std::make_shared<const ErrorObject>(found->second);
  failures_.erase(found);
  return error;
}

bool FakeFileProviderManager::isRegistered(const std::string& identifier) const {
  return std::any_of(domains_.begin(), domains_.end(),
                     [&](const FileProviderDomain& d) { return d.identifier == identifier; });
}

ErrorPtr FakeFileProviderManager::unknownDomain(const std::string& identifier) const {
  return std::make_shared<const ErrorObject>(fileProviderError(
      FileProviderErrorCode::noSuchItem, "no domain registered as " + identifier));
}

std::optional<std::filesystem::path> FakeFileProviderManager::locate(
    const std::string& domainIdentifier, const ItemIdentifier& item) const {
  if (auto found = urls_.find({domainIdentifier, item}); found != urls_.end()) {
    return found->second;
  }
  if (item != NSFileProviderRootContainerItemIdentifier || !drivesFolder_) return std::nullopt;
  for (const auto& domain : domains_) {
    if (domain.identifier == domainIdentifier) return *drivesFolder_ / domain.displayName;
  }
  return std::nullopt;
}

void FakeFileProviderManager::runDeliveries() {
  for (;;) {
    std::function<void()> completion;
    {
      std::unique_lock lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
      if (stopping_) return;
      Call call = std::move(pending_.front());
      pending_.pop_front();
      completion = call.apply();
    }
    completion();
  }
}

}  // namespace folium::platform

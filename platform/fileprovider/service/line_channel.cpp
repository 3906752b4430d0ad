#include "platform/fileprovider/service/line_channel.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace folium::platform::service {
namespace json = boost::json;

namespace {
// A line longer than this is not from a peer of ours.
constexpr std::size_t kMaxLine = 16 * 1024 * 1024;
}  // namespace

LineChannel::LineChannel(int fd) : fd_(fd) {}

LineChannel::~LineChannel() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<json::object> LineChannel::readObject(
    std::optional<std::chrono::milliseconds> timeout) {
  const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout
                                : std::chrono::steady_clock::time_point::max();
  for (;;) {
    if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      json::error_code error;
      json::value value = json::parse(line, error);
      if (error || !value.is_object()) return std::nullopt;
      return std::move(value.as_object());
    }
    if (buffer_.size() > kMaxLine) return std::nullopt;
    if (timeout) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd entry{fd_, POLLIN, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return std::nullopt;
    }
    char chunk[65536];
    const ssize_t count = ::recv(fd_, chunk, sizeof chunk, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(count));
  }
}

bool LineChannel::writeObject(const json::object& object) {
  const std::string line = json::serialize(object) + "\n";
  std::lock_guard lock(writeMutex_);
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t count = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

void LineChannel::shutdown() noexcept { ::shutdown(fd_, SHUT_RDWR); }

json::value errorToJson(const ErrorPtr& error) {
  if (!error) return nullptr;
  json::object userInfo;
  for (const auto& [key, value] : error->userInfo()) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      userInfo[key] = *text;
    } else {
      userInfo[key] = std::get<std::int64_t>(value);
    }
  }
  return json::object{{"domain", error->domain()},
                      {"code", error->code()},
                      {"description", error->description()},
                      {"userInfo", std::move(userInfo)}};
}

ErrorPtr errorFromJson(const json::value& value) {
  const json::object* object = value.if_object();
  if (object == nullptr) return nullptr;
  UserInfo userInfo;
  if (const json::value* info = object->if_contains("userInfo"); info && info->is_object()) {
    for (const auto& [key, item] : info->as_object()) {
      if (item.is_string()) {
        userInfo[std::string(key)] = std::string(item.as_string());
      } else if (item.is_int64()) {
        userInfo[std::string(key)] = item.as_int64();
      }
    }
  }
  std::int64_t code = 0;
  if (const json::value* number = object->if_contains("code"); number && number->is_int64()) {
    code = number->as_int64();
  }
  return std::make_shared<const ErrorObject>(stringMember(*object, "domain"), code,
                                             stringMember(*object, "description"),
                                             std::move(userInfo));
}

ErrorPtr posixError(int code, std::string description) {
  return std::make_shared<const ErrorObject>(std::string(NSPOSIXErrorDomain), code,
                                             std::move(description));
}

std::string stringMember(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  return value && value->is_string() ? std::string(value->as_string()) : std::string();
}

}  // namespace folium::platform::service

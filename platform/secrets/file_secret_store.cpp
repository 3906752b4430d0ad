#include "platform/secrets/file_secret_store.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/files/whole_file.hpp"

namespace folium::platform {
namespace {

constexpr std::size_t kMaxNameLength = 200;
constexpr int kMaxAsideAttempts = 100;

bool isPlainByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

void appendEscaped(std::string& out, std::string_view text, bool escapeLeadingDot) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (isPlainByte(c) && !(escapeLeadingDot && i == 0 && c == '.')) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
}

std::string errnoText(int error) { return std::strerror(error); }

std::string failureText(std::string_view what, const std::filesystem::path& path, int error) {
  return std::string(what) + " " + path.string() + ": " + errnoText(error);
}

// Writes all of `data`, resuming after short writes and interruptions. Returns 0 or errno.
int writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

// Creates `folder` and its missing parents. Folders created here are made 0700 whatever
// the umask: they hold the user's secrets or lead to them.
int makeFolders(const std::filesystem::path& folder) {
  std::filesystem::path current;
  for (const auto& part : folder) {
    current /= part;
    if (::mkdir(current.c_str(), 0700) == 0) {
      if (::chmod(current.c_str(), 0700) != 0) return errno;
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  return 0;
}

}  // namespace

FileSecretStore::FileSecretStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path FileSecretStore::defaultFolder() {
  std::filesystem::path dataHome;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    dataHome = xdg;
  } else {
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') {
      home = env;
    } else {
      std::vector<char> buffer(16384);
      passwd entry{};
      passwd* found = nullptr;
      if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
          found != nullptr && found->pw_dir != nullptr) {
        home = found->pw_dir;
      }
    }
    if (home.empty()) return {};
    dataHome = std::filesystem::path(home) / ".local" / "share";
  }
  return dataHome / "folium" / "secrets";
}

std::string FileSecretStore::fileName(const SecretItemKey& key) {
  std::string name;
  appendEscaped(name, key.service, /*escapeLeadingDot=*/true);
  name.push_back('+');
  appendEscaped(name, key.account, false);
  name.push_back('+');
  appendEscaped(name, key.accessGroup, false);
  name += ".secret";
  if (name.size() > kMaxNameLength) return {};
  return name;
}

SecretOutcome FileSecretStore::locate(const SecretItemKey& key, std::filesystem::path& path) const {
  if (folder_.empty()) {
    return SecretOutcome::failed("cannot locate the secret folder: HOME is not set");
  }
  const std::string name = fileName(key);
  if (name.empty()) {
    return SecretOutcome::failed("secret item name too long: service \"" + key.service +
                                 "\", account \"" + key.account + "\"");
  }
  path = folder_ / name;
  return SecretOutcome::success();
}

SecretOutcome FileSecretStore::ensureFolder() const {
  if (const int error = makeFolders(folder_); error != 0) {
    return SecretOutcome::failed(failureText("cannot create secret folder", folder_, error));
  }
  struct stat info {};
  if (::stat(folder_.c_str(), &info) != 0) {
    return SecretOutcome::failed(failureText("cannot open secret folder", folder_, errno));
  }
  if (!S_ISDIR(info.st_mode)) {
    return SecretOutcome::failed("secret folder " + folder_.string() + " is not a folder");
  }
  // An existing folder may have been created looser (by hand, under another umask).
  if ((info.st_mode & 07777) != 0700 && ::chmod(folder_.c_str(), 0700) != 0) {
    return SecretOutcome::failed(failureText("cannot protect secret folder", folder_, errno));
  }
  return SecretOutcome::success();
}

SecretOutcome FileSecretStore::syncFolder() const {
  const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return SecretOutcome::failed(failureText("cannot open", folder_, errno));
  const int result = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (result != 0) return SecretOutcome::failed(failureText("cannot flush", folder_, error));
  return SecretOutcome::success();
}

// A writer killed between creating its temporary file and renaming it leaves the file
// behind, tokens and all. Any such file older than a write could possibly take is removed
// before the next write of the same item.
void FileSecretStore::removeAbandonedTemporaries(const std::filesystem::path& path) const {
  constexpr auto kAbandonedAfter = std::chrono::minutes(1);
  const std::string prefix = "." + path.filename().string() + ".tmp-";
  std::error_code ec;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) != 0 || name.size() != prefix.size() + 6) continue;
    std::error_code statError;
    const auto modified = entry.last_write_time(statError);
    if (!statError && now - modified > kAbandonedAfter) ::unlink(entry.path().c_str());
  }
}

SecretOutcome FileSecretStore::writeFile(const std::filesystem::path& path, std::string_view data,
                                         Placement placement) const {
  removeAbandonedTemporaries(path);
  std::string temp = (folder_ / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    return SecretOutcome::failed(failureText("cannot create a temporary file in", folder_, errno));
  }
  auto fail = [&](std::string_view what, int error) {
    ::unlink(temp.c_str());
    return SecretOutcome::failed(failureText(what, path, error));
  };
  // mkostemp's 0600 is reduced by the umask; the item must be readable by its owner.
  int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
  if (error == 0) error = writeAll(fd, data);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  // Don't retry close on EINTR: the descriptor is gone either way.
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0) return fail("cannot write secret file", error);

  if (placement == Placement::replace) {
    if (::rename(temp.c_str(), path.c_str()) != 0) return fail("cannot replace secret file", errno);
  } else {
    // link() refuses an existing name, where rename() would silently replace it.
    if (::link(temp.c_str(), path.c_str()) != 0) {
      error = errno;
      ::unlink(temp.c_str());
      if (error == EEXIST) {
        return SecretOutcome::failed("secret file " + path.string() + " exists already");
      }
      return SecretOutcome::failed(failureText("cannot create secret file", path, error));
    }
    ::unlink(temp.c_str());
  }
  return syncFolder();
}

SecretRead FileSecretStore::read(const SecretItemKey& key) {
  std::filesystem::path path;
  if (auto located = locate(key, path); !located.ok()) return SecretRead::without(located);
  // Only a regular file: a FIFO put in the item's place must fail the read, not hang it.
  try {
    SecretRead result;
    result.data =
        readWholeFile(path, WholeFileLimits{std::nullopt, true}, "cannot read secret file");
    return result;
  } catch (const FileReadError& e) {
    if (e.code().value() == ENOENT) return SecretRead::without(SecretOutcome::notFound());
    return SecretRead::without(SecretOutcome::failed(e.what()));
  }
}

SecretOutcome FileSecretStore::update(const SecretItemKey& key, std::string_view data) {
  std::filesystem::path path;
  if (auto located = locate(key, path); !located.ok()) return located;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      // ENOTDIR: a part of the folder's path is a file; the item cannot exist, but a
      // following add() will report the folder problem.
      return SecretOutcome::notFound();
    }
    return SecretOutcome::failed(failureText("cannot reach secret file", path, errno));
  }
  if (!S_ISREG(info.st_mode)) {
    return SecretOutcome::failed("cannot replace secret file " + path.string() +
                                 ": not a regular file");
  }
  if (auto folder = ensureFolder(); !folder.ok()) return folder;
  return writeFile(path, data, Placement::replace);
}

SecretOutcome FileSecretStore::add(const SecretItemKey& key, std::string_view data) {
  std::filesystem::path path;
  if (auto located = locate(key, path); !located.ok()) return located;
  if (auto folder = ensureFolder(); !folder.ok()) return folder;
  return writeFile(path, data, Placement::create);
}

SecretOutcome FileSecretStore::remove(const SecretItemKey& key) {
  std::filesystem::path path;
  if (auto located = locate(key, path); !located.ok()) return located;
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return SecretOutcome::notFound();
    return SecretOutcome::failed(failureText("cannot delete secret file", path, errno));
  }
  return syncFolder();
}

SecretOutcome FileSecretStore::keepAside(const SecretItemKey& key, std::string_view suffix,
                                         std::string_view data) {
  if (!isValidAsideSuffix(suffix)) {
    return SecretOutcome::failed("invalid suffix for a kept-aside secret: \"" +
                                 std::string(suffix) + "\"");
  }
  std::filesystem::path path;
  if (auto located = locate(key, path); !located.ok()) return located;
  if (auto folder = ensureFolder(); !folder.ok()) return folder;
  const std::string base = path.string() + std::string(suffix);
  for (int attempt = 0; attempt < kMaxAsideAttempts; ++attempt) {
    const std::string name = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    SecretOutcome outcome = writeFile(name, data, Placement::create);
    const bool taken = !outcome.ok() && ::access(name.c_str(), F_OK) == 0;
    if (!taken) return outcome;
  }
  return SecretOutcome::failed("cannot keep a copy of secret file " + path.string() +
                               ": every name for it is taken");
}

}  // namespace folium::platform

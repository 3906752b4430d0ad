#include "app/qt/single_instance.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/fileprovider/service/service_paths.hpp"
#include "platform/files/private_folder.hpp"

namespace folium::app {
namespace {

// A launch's message: the magic, then each argument followed by a NUL (arguments cannot
// hold one), the whole preceded by its byte count (4 bytes, big-endian). The instance
// answers one byte once it has the arguments.
constexpr std::string_view kMagic{"folium-launch-1\0", 16};
// A launch never sends more than this; anything larger is not one of ours.
constexpr std::uint32_t kMaxMessage = 1 << 20;
constexpr char kAck = '\x06';
constexpr int kReplyMs = 10000;

std::string systemError(int error) { return std::strerror(error); }

// The folder must be ours and closed to everyone else: the socket accepts whatever a
// launch sends, so nobody else may reach it.
bool ensurePrivateFolder(const std::filesystem::path& path, std::string* error) {
  try {
    platform::makePrivateFolder(path);
  } catch (const std::system_error& failure) {
    *error = std::string(failure.what()) + "; check the folder's owner and permissions";
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    *error = path.string() + " is not a folder of yours; remove it and start Folium again";
    return false;
  }
  return true;
}

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += std::size_t(n);
  }
  return true;
}

bool awaitAck(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd, POLLIN, 0};
    const int n = ::poll(&ready, 1, int(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    char reply = 0;
    const ssize_t got = ::recv(fd, &reply, 1, 0);
    if (got < 0 && errno == EINTR) continue;
    return got == 1 && reply == kAck;
  }
}

std::string encode(const std::vector<std::string>& arguments) {
  std::string body(kMagic);
  for (const std::string& argument : arguments) {
    body += argument;
    body += '\0';
  }
  const auto size = std::uint32_t(body.size());
  std::string message{char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
  return message + body;
}

// The arguments of a message body, or none when it is not a launch's message.
std::optional<QStringList> decode(const QByteArray& body) {
  if (!body.startsWith(QByteArray(kMagic.data(), qsizetype(kMagic.size()))) ||
      (body.size() > qsizetype(kMagic.size()) && !body.endsWith('\0'))) {
    return std::nullopt;
  }
  QStringList arguments;
  const QByteArray rest = body.mid(qsizetype(kMagic.size()));
  if (rest.isEmpty()) return arguments;
  const QList<QByteArray> parts = rest.chopped(1).split('\0');
  for (const QByteArray& part : parts) arguments << QString::fromUtf8(part);
  return arguments;
}

}  // namespace

std::string instanceSocketPath() {
  return (platform::service::socketDirectory() / "app.sock").string();
}

SingleInstance::SingleInstance(std::string socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
  if (server_ != nullptr) server_->close();  // removes the socket file
}

SingleInstance::Role SingleInstance::start(const std::vector<std::string>& arguments,
                                           std::string* error) {
  const std::filesystem::path socket(socketPath_);
  if (!ensurePrivateFolder(socket.parent_path(), error)) return Role::failed;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof(address.sun_path)) {
    *error =
        "the socket path " + socketPath_ + " is too long; set XDG_RUNTIME_DIR to a shorter folder";
    return Role::failed;
  }
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);

  lock_ = std::make_unique<QLockFile>(QString::fromStdString(socketPath_ + ".lock"));
  if (!lock_->tryLock(kReplyMs)) {
    *error =
        "another Folium is starting (it holds " + socketPath_ + ".lock); try again in a moment";
    return Role::failed;
  }

  FileDescriptor client{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (client.fd < 0) {
    *error = "cannot create a socket: " + systemError(errno);
    return Role::failed;
  }
  if (::connect(client.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    // Nobody listens (no socket, or one left by a process that died): this process becomes
    // the instance.
    if (errno == ENOENT || errno == ECONNREFUSED) return Role::primary;
    *error = "cannot reach the running Folium at " + socketPath_ + ": " + systemError(errno);
    return Role::failed;
  }
  if (!sendAll(client.fd, encode(arguments)) || !awaitAck(client.fd)) {
    *error = "the running Folium (socket " + socketPath_ +
             ") did not answer; quit it from its tray menu (\"Quitter\") or end its process, "
             "then start Folium again";
    return Role::failed;
  }
  lock_.reset();
  return Role::handedOff;
}

bool SingleInstance::listen(std::string* error) {
  // The lock is held: a socket file here is left over from a process that is gone.
  const QString path = QString::fromStdString(socketPath_);
  QLocalServer::removeServer(path);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  const bool listening = server_->listen(path);
  lock_.reset();
  if (!listening) {
    *error = "cannot listen on " + socketPath_ + ": " + server_->errorString().toStdString();
    delete server_;
    server_ = nullptr;
    return false;
  }
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
  return true;
}

void SingleInstance::accept() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (socket->bytesAvailable() < 4) return;
      const QByteArray header = socket->peek(4);
      const std::uint32_t size = (std::uint32_t(std::uint8_t(header[0])) << 24) |
                                 (std::uint32_t(std::uint8_t(header[1])) << 16) |
                                 (std::uint32_t(std::uint8_t(header[2])) << 8) |
                                 std::uint32_t(std::uint8_t(header[3]));
      if (size > kMaxMessage) {
        socket->abort();
        return;
      }
      if (socket->bytesAvailable() < qint64(4 + size)) return;
      socket->skip(4);
      const std::optional<QStringList> arguments = decode(socket->read(size));
      if (!arguments) {
        socket->abort();
        return;
      }
      socket->write(QByteArray(1, kAck));
      socket->flush();
      socket->disconnectFromServer();
      emit argumentsReceived(*arguments);
    });
  }
}

}  // namespace folium::app

#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

class QLocalServer;
class QLockFile;

namespace folium::app {

// Where the tray application listens for later launches: beside the drive service's socket
// (so isolated HOMEs never share an instance).
std::string instanceSocketPath();

// One Folium per user session: the first process listens on a socket private to the user;
// later ones hand their arguments to it and exit.
//
// start() runs before the Qt application exists (a launch that only hands over a link
// needs no display); listen() once it does. Main thread only.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  enum class Role {
    primary,    // nobody runs: call listen(); later launches arrive through argumentsReceived
    handedOff,  // the running instance has the arguments; this process may exit
    failed,     // neither; the error says why and what to do
  };

  explicit SingleInstance(std::string socketPath, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Hands `arguments` to the running instance, if there is one. Otherwise the process is to
  // become the instance, and holds a lock until listen() so that two launches at once
  // (a double click) never both become it. Blocks for a few seconds at most.
  [[nodiscard]] Role start(const std::vector<std::string>& arguments, std::string* error);
  // Listens on the socket (only the user may connect). Needs the Qt application.
  [[nodiscard]] bool listen(std::string* error);

  const std::string& socketPath() const { return socketPath_; }

 signals:
  // A later launch, with its arguments (possibly none).
  void argumentsReceived(const QStringList& arguments);

 private:
  void accept();

  std::string socketPath_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer* server_ = nullptr;
};

}  // namespace folium::app

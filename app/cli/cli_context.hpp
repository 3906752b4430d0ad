#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/folium_provisioning.hpp"
#include "core/shared_store.hpp"
#include "platform/http/http_session.hpp"

namespace folium::app {

// A failure to report as `foliumctl: <message>` with exit status 1.
class CliFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// State shared by the command groups of foliumctl: the global options and the services
// the commands use. Single-threaded: only main's thread touches it.
struct CliContext {
  std::string profilePath;  // --profile FILE
  std::string domain;       // --domain ID
  // Whether each option was given at all: an empty value is still a choice (of no file, of
  // no domain), never a reason to fall back on the stored profile.
  bool profileGiven = false;
  bool domainGiven = false;
  int exitCode = 0;  // a command may set a failure status without throwing

  // The profile a command talks to: --profile reads the file, --domain takes the stored
  // profile of that domain, neither takes the one stored profile. Throws CliFailure.
  FoliumProvisioning resolveProfile() const;
  std::shared_ptr<platform::HttpSession> session() const { return platform::sharedHttpSession(); }
};

// The one profile of the store; throws CliFailure when there are none, several, or the
// store cannot be read.
FoliumProvisioning onlyStoredProfile(const SharedStore& store);

// Reads a .foliumprofile file. Throws CliFailure naming the file and the fault.
FoliumProvisioning readProfileFile(const std::string& path);

// Registration of each command group. Every subcommand falls through to the global options.
void addApiCommands(CLI::App& app, CliContext& context);
void addStoreCommands(CLI::App& app, CliContext& context);
void addFpCommands(CLI::App& app, CliContext& context);

// The one line written after "foliumctl: " for a failure of any kind: "http status 404",
// "invalid response", "cannot decode response: …", "transport error: …" or a sentence.
std::string describeFailure(std::exception_ptr error);

}  // namespace folium::app

#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace folium::testing {

// Absolute path of one of the project's programs in the build tree ("foliumctl",
// "folium-devserver"). Tests and benchmarks share these helpers.
std::filesystem::path programPath(std::string_view name);

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal or timed out
  std::string out;
  std::string err;
};

// Runs a program to its end. `env` entries override or add to the test's own environment;
// an empty value removes the variable.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         std::string_view stdinData = {},
                         std::chrono::seconds timeout = std::chrono::seconds(120));

// A program left running in the background; killed (SIGTERM, then SIGKILL) on destruction.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv,
                    const std::map<std::string, std::string>& env = {});
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Next line of the program's stdout (without the newline); throws after `timeout`.
  std::string readLine(std::chrono::seconds timeout = std::chrono::seconds(30));
  int pid() const { return pid_; }
  // Sends the signal and waits for the exit; returns the exit code (or 128 + signal).
  int stop(int signal);

 private:
  int pid_ = -1;
  int stdoutFd_ = -1;
  std::string buffer_;
  bool exited_ = false;
  int exitCode_ = 0;
};

// A private temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  // In `parent`, or else in $TMPDIR or /tmp.
  explicit TempDir(const std::filesystem::path& parent = {});
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
  // HOME and every XDG_* variable pointed inside this folder, for isolated runs.
  std::map<std::string, std::string> isolatedEnv() const;

 private:
  std::filesystem::path path_;
};

// Environment variables of this process set (an empty value: removed) for the object's
// life, then put back as they were. Not thread-safe: set them before starting threads.
class ScopedEnv {
 public:
  explicit ScopedEnv(const std::map<std::string, std::string>& values);
  ScopedEnv(std::initializer_list<std::pair<const std::string, std::string>> values)
      : ScopedEnv(std::map<std::string, std::string>(values)) {}
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

// Polls `condition` until it holds or `limit` passes; whether it held. For waiting on other
// threads and processes: no timing is asserted, the limit only keeps a fault from hanging.
bool eventually(const std::function<bool()>& condition,
                std::chrono::seconds limit = std::chrono::seconds(30));

// Whether this process may mount a FUSE file system (else mounting tests skip).
bool fuseAvailable();

std::string readFile(const std::filesystem::path& path);
// Permission bits of a file or folder; 0 when it does not exist.
unsigned fileMode(const std::filesystem::path& path);
std::set<std::string> folderEntries(const std::filesystem::path& folder);
void writeFile(const std::filesystem::path& path, std::string_view contents);

}  // namespace folium::testing

#pragma once

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process.hpp"

namespace folium::testing {

// foliumctl as a user runs it, in a private HOME: on the file-backed profile store unless
// `extraEnv` says otherwise.
class CliHome {
 public:
  explicit CliHome(const std::map<std::string, std::string>& extraEnv = {})
      : env_(dir_.isolatedEnv()) {
    for (const auto& [name, value] : extraEnv) env_[name] = value;
  }

  // foliumctl ARGS, after the shell commands `shellPrefix` (a limit, a redirection) in the
  // same process.
  ProcessResult run(std::vector<std::string> args, const std::string& shellPrefix = ":") const {
    args.insert(args.begin(), {"sh", "-c", shellPrefix + "; exec \"$0\" \"$@\"",
                               programPath("foliumctl").string()});
    return runProcess(args, env_);
  }
  // A profile file named after its display name.
  std::filesystem::path profileFile(const std::string& url, const std::string& displayName,
                                    const std::string& token) const {
    const auto path = dir_ / (displayName + ".foliumprofile");
    writeFile(path, boost::json::serialize(boost::json::object{
                        {"instance_url", url}, {"token", token}, {"display_name", displayName}}));
    return path;
  }
  // Stores such a profile with `foliumctl store save`; the domain identifier it printed.
  std::string save(const std::string& url, const std::string& displayName,
                   const std::string& token) const {
    const auto result = run({"store", "save", profileFile(url, displayName, token).string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out.substr(0, result.out.find('\n'));
  }
  std::filesystem::path path(const std::string& name) const { return dir_ / name; }
  const std::map<std::string, std::string>& env() const { return env_; }

 private:
  TempDir dir_;
  std::map<std::string, std::string> env_;
};

}  // namespace folium::testing

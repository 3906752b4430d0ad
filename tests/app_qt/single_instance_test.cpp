#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/process.hpp"

namespace folium::testing {
namespace {

struct Session {
  TempDir dir;
  std::map<std::string, std::string> env = [this] {
    auto env = dir.isolatedEnv();
    env["QT_QPA_PLATFORM"] = "offscreen";
    env["FOLIUM_FILE_PROVIDER"] = "memory";
    return env;
  }();
  std::filesystem::path socket =
      std::filesystem::path(env.at("XDG_RUNTIME_DIR")) / "folium" / "app.sock";

  std::unique_ptr<BackgroundProcess> startInstance() {
    auto instance = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{programPath("folium").string(), "--background"}, env);
    return eventually([&] { return listening(); }) ? std::move(instance) : nullptr;
  }
  // Whether an instance accepts connections (a socket file alone may be a dead one's).
  bool listening() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
  }
  ProcessResult launch(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), programPath("folium").string());
    return runProcess(arguments, env, {}, std::chrono::seconds(60));
  }
  // Launches with a profile file given as a plain path, as a terminal would pass it; whether
  // the running instance stored the profile.
  bool handsOverProfile(const std::string& name) {
    const auto profile = dir / (name + ".foliumprofile");
    writeFile(profile, R"({"instance_url":"https://docs.)" + name + R"(.fr","token":"t",)" +
                           R"("display_name":")" + name + "\"}");
    const auto handedOff = launch({profile.string()});
    EXPECT_EQ(handedOff.exitCode, 0) << handedOff.err;
    return eventually([&] {
      const auto stored = runProcess({programPath("foliumctl").string(), "store", "list"}, env);
      return stored.out.find(name) != std::string::npos;
    });
  }
};

TEST(SingleInstance, LaterLaunchesHandTheirArgumentsToTheRunningOneAndExit) {
  Session s;
  auto instance = s.startInstance();
  ASSERT_NE(instance, nullptr) << "no socket at " << s.socket;

  EXPECT_EQ(fileMode(s.socket.parent_path()), 0700u);
  EXPECT_EQ(fileMode(s.socket) & 0077, 0u) << "the socket is the user's only";

  EXPECT_TRUE(s.handsOverProfile("Bureau"));

  // A link, and no argument at all, are taken too; only the first process runs.
  EXPECT_EQ(s.launch({"folium://search?q=rapport"}).exitCode, 0);
  EXPECT_EQ(s.launch({}).exitCode, 0);
  EXPECT_EQ(::kill(instance->pid(), 0), 0) << "the running instance is still there";

  const auto wrong = s.launch({"--frobnicate"});
  EXPECT_EQ(wrong.exitCode, 2);
  EXPECT_NE(wrong.err.find("unknown option --frobnicate"), std::string::npos) << wrong.err;
}

TEST(SingleInstance, ASocketLeftByAnInstanceThatDiedIsTakenOver) {
  Session s;
  auto first = s.startInstance();
  ASSERT_NE(first, nullptr);
  first->stop(SIGKILL);
  ASSERT_TRUE(std::filesystem::exists(s.socket)) << "a killed instance leaves its socket";

  auto second = s.startInstance();
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(s.handsOverProfile("Atelier"));
}

}  // namespace
}  // namespace folium::testing

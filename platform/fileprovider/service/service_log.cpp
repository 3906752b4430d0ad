#include "platform/fileprovider/service/service_log.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

namespace folium::platform::service {

void serviceLog(std::string_view message) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[80];
  std::snprintf(prefix, sizeof prefix, "%s.%03d folium-fileproviderd[%d]: ", stamp,
                static_cast<int>(millis), static_cast<int>(::getpid()));
  // One write per line, so that lines of processes sharing the file do not interleave.
  std::string line = prefix;
  line += message;
  line += '\n';
  std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
  std::cerr.flush();
}

}  // namespace folium::platform::service

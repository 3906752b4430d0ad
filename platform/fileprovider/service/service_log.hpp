#pragma once

#include <string_view>

namespace folium::platform::service {

// Writes one line to the service's log (its standard error, a file in the state folder):
// the local time to the millisecond, the program and its process, then `message`. The
// supervisors that follow one another and their workers all write to that one file.
void serviceLog(std::string_view message);

}  // namespace folium::platform::service

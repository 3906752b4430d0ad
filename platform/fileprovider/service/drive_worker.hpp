#pragma once

#include <string>

namespace folium::platform::service {

// folium-fileproviderd --drive ID: hosts the drive of one domain for the supervisor, which
// hands it its control channel as descriptor 3 and, first on it, the drive's display name,
// mount point and state folder. Serves the supervisor's calls (signal, url, status,
// retryNow, pin) until the drive is unmounted: by SIGTERM or SIGINT, by the supervisor going
// away, or by `fusermount3 -u` from outside. Returns the process's exit status.
//
// Call from main with SIGTERM and SIGINT blocked, before any other thread exists.
int runDriveWorker(const std::string& identifier);

}  // namespace folium::platform::service

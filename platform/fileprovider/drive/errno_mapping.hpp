#pragma once

#include <string>

#include "platform/fileprovider/error_object.hpp"

namespace folium::platform::drive {

// The errno a file-system call answers with when the plug-in failed with `error`. The one
// place where error objects become errno:
//  - not authenticated (-1000): EACCES; no such item (-1005): ENOENT; expired anchor: EIO;
//  - unsupported (3328): EPERM;
//  - HTTP 404 and 410: ENOENT; 401 and 403: EACCES; any other status: EIO;
//  - transport: ENETUNREACH when the server cannot be reached, ETIMEDOUT when it did not
//    answer in time, ECANCELED when cancelled, EIO otherwise;
//  - file-system errors: their own errno; anything else EIO.
// A null error is 0.
int errnoFor(const ErrorPtr& error) noexcept;

// Whether `error` says that the server cannot be reached at all (as opposed to a server that
// answered with a failure): the drive is then offline.
bool meansOffline(const ErrorPtr& error) noexcept;

// How a failure reads in the drive's status and notifications: the error's description, then
// the server's own words when it gave any ("http status 400: the name is not valid UTF-8").
// "unknown" for a null error.
std::string describeFailure(const ErrorPtr& error);

}  // namespace folium::platform::drive

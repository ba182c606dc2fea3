// serve.h - the device in a browser: tapwatcher-sim --serve serves one page
// that shows the device's screen and events and sends it the keys a person
// presses and releases on a real keyboard.
#pragma once

#include "cli/sim/job.h"

#include <ostream>
#include <string>

namespace runner {

// Where the page is served: the address as given (default 127.0.0.1) and the
// port (0: any free port).
struct ServeAddress {
    std::string host = "127.0.0.1";
    int port = 0;
    bool host_given = false; // an address other than the default was asked for
};

// Reads "[ADDRESS:]PORT". False, with a one-line `error`, for anything else.
bool ParseServeAddress(const std::string& text, ServeAddress& address, std::string& error);

// The page, self-contained (script and style inline, nothing fetched).
extern const char* const kServePage;

// Serves the job's device until the tool exits: prints the page's address
// with its access token, then the transcript. Returns the exit status (the
// tool's exit code, or the runner's own).
int RunServe(const Job& job, const ServeAddress& address, std::ostream& out, std::ostream& errors);

} // namespace runner

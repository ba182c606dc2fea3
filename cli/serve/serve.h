// serve.h - the device in a browser: tapwatcher-sim --serve serves one page
// that shows the device's screen and events and sends it the keys a person
// presses and releases on a real keyboard.
#pragma once

#include "cli/runner/job.h"
#include "cli/serve/serve_request.h"

#include <ostream>
#include <string>

namespace runner {

// The page, self-contained (script and style inline, nothing fetched).
extern const char* const kServePage;

// Serves the job's device until the tool exits: prints the page's address
// with its access token, then the transcript. Returns the exit status (the
// tool's exit code, or the runner's own).
int RunServe(const Job& job, const ServeAddress& address, std::ostream& out, std::ostream& errors);

} // namespace runner

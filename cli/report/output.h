// output.h - writing the report's outputs without clobbering what their paths point to.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace report {

// One output: where it goes ("-" for standard output) and its bytes, or the file open as
// FROM_FD whose bytes (from its start) it is.
struct Output {
    std::string path;
    std::string bytes;
    int from_fd = -1;
};

// Writes every output by the rule of its path: a regular file or a new name is written to a
// temporary file beside it and renamed into place (keeping the old file's permissions); a
// symlink is written through to its target, by the same rule; a FIFO, a character device
// and "-" (STDOUT) are written in place. Anything else is refused before anything is
// written. False, with ERROR naming the output, when one cannot be written; then no
// regular file has been replaced and no temporary file is left.
bool WriteOutputs(const std::vector<Output>& outputs, std::ostream& stdout_stream,
                  std::string& error);

// A temporary folder (a replay's device root) that a signal ending the process removes with
// all it holds, until it is forgotten; one at a time.
void RememberTemporaryFolder(const std::string& path);
void ForgetTemporaryFolder();

} // namespace report

// Writing the result to a named file: whole or not at all, and never in place of
// something that is not a file.
#pragma once

#include <csignal>
#include <string>

namespace mosspec {

// Writes `text` to `path`:
//  - a regular file, new or existing, is replaced in one step: the text goes to a
//    temporary created exclusively in the same directory, which is renamed over the
//    file once it is complete (an existing file keeps its permissions);
//  - a symbolic link is followed: its target is replaced the same way, the link stays;
//  - a device, pipe or socket is written directly (it cannot be replaced);
//  - a directory, a dangling link or a missing directory is refused.
// Throws UsageError (one line) for a target it refuses, std::runtime_error when the
// writing fails; no temporary is left behind either way. `interrupted` is polled
// before the rename: when it is set the temporary is removed and false returned.
bool write_file_whole(const std::string &path, const std::string &text, const volatile std::sig_atomic_t &interrupted);

}  // namespace mosspec

#pragma once
// kelvaro --check-config: whether a settings file is fit to start on, without
// opening a socket or a store. The verdict is an exit status a unit's
// ExecStartPre= or a package script can act on:
//   0  usable as it is: the report has no "Warning:" line;
//   3  usable, with warnings (an unknown key, a clamped value, a value that
//      defeats something: every "Warning:" line of the start-up report);
//   1  not usable: the settings file, or a file it names that must be read
//      (BanFile, an existing StateFile) cannot be read, or the state file
//      cannot be made (its directory is missing or not writable). A
//      statistics or metrics file whose directory is missing is a warning:
//      the server serves without it.
// Every problem line names the settings file, then the section and key.

#include <string>
#include <vector>

#include "service/server_settings.h"

namespace kelvaro {

constexpr int kCheckClean = 0;
constexpr int kCheckFatal = 1;
constexpr int kCheckWarnings = 3;

struct ConfigCheck {
    int exitCode = kCheckClean;
    // The start-up report, its "Warning:" lines prefixed with "<file>: ",
    // then one "<file>: Error: ..." line per fatal problem.
    std::vector<std::string> lines;
};

// settings as filled by load()/loadFile(); required: the file was named on
// the command line, so a missing one is fatal.
ConfigCheck checkConfig(const ServerSettings& settings, bool required);

// The reason path cannot be read, or "" when it can (a directory cannot).
std::string unreadableReason(const std::string& path);

}  // namespace kelvaro

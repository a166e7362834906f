#include "service/settings_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/udp_endpoint.h"
#include "platform/profile_reader.h"
#include "service/settings_report.h"

namespace kelvaro {
namespace {

// The directory a relative or absolute file path goes in.
std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// "" when a file can be made at path: its directory exists and may be written.
std::string uncreatableReason(const std::string& path) {
    const std::string directory = directoryOf(path);
    struct stat info {};
    if (stat(directory.c_str(), &info) != 0) return directory + ": " + std::strerror(errno);
    if (!S_ISDIR(info.st_mode)) return directory + ": not a directory";
    if (access(directory.c_str(), W_OK | X_OK) != 0) return directory + ": " + std::strerror(errno);
    return {};
}

void fatal(ConfigCheck& check, const ServerSettings& settings, const std::string& what) {
    check.lines.push_back(settings.iniPath + ": Error: " + what);
    check.exitCode = kCheckFatal;
}

// The statistics and metrics files are written later and a failed write is
// only reported, so a directory that is not there is a warning: the server
// serves without them.
void checkOutputDirectory(ConfigCheck& check, const ServerSettings& s, const char* key,
                          const std::string& path) {
    if (path.empty()) return;
    const std::string directory = directoryOf(path);
    struct stat info {};
    if (stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
    check.lines.push_back(s.iniPath + ": Warning: [Directory] " + key + "=" + path +
                          ": cannot be written: " + directory + " is not a directory");
    if (check.exitCode == kCheckClean) check.exitCode = kCheckWarnings;
}

void checkPaths(ConfigCheck& check, const ServerSettings& s) {
    checkOutputDirectory(check, s, "StatsFile", s.StatsFile);
    checkOutputDirectory(check, s, "MetricsFile", s.MetricsFile);
    if (!s.BanFile.empty()) {
        if (const std::string reason = unreadableReason(s.BanFile); !reason.empty())
            fatal(check, s, "[Zone] BanFile=" + s.BanFile + ": cannot read: " + reason);
    }
    if (s.StateFile.empty()) return;
    struct stat info {};
    if (stat(s.StateFile.c_str(), &info) == 0) {
        std::string reason = unreadableReason(s.StateFile);
        if (reason.empty() && access(s.StateFile.c_str(), W_OK) != 0) reason = std::strerror(errno);
        if (!reason.empty())
            fatal(check, s, "[Directory] StateFile=" + s.StateFile + ": cannot use: " + reason);
    } else if (const std::string reason = uncreatableReason(s.StateFile); !reason.empty()) {
        fatal(check, s, "[Directory] StateFile=" + s.StateFile + ": cannot create: " + reason);
    }
}

// A host without IPv6 would stop the server at its first bind; the check says
// so before the restart does.
void checkIPv6(ConfigCheck& check, const ServerSettings& s) {
    if (!s.ListenIPv6) return;
    std::string reason;
    if (!hostHasIPv6(reason)) fatal(check, s, "[Core] ListenIPv6=1: this host has no IPv6: " + reason);
}

}  // namespace

std::string unreadableReason(const std::string& path) {
    const ProfileFileStatus status = profileFileStatus(path);
    if (status.state == ProfileFileStatus::State::Read) return {};
    return status.reason.empty() ? std::string("cannot be read") : status.reason;
}

ConfigCheck checkConfig(const ServerSettings& settings, bool required) {
    using State = ProfileFileStatus::State;
    ConfigCheck check;
    const State state = settings.iniStatus.state;
    if (state == State::Unreadable || (required && state == State::NotFound)) {
        fatal(check, settings, "cannot read: " + settings.iniStatus.reason);
        return check;
    }
    for (const std::string& line : settingsReport(settings)) {
        if (line.rfind("Warning:", 0) == 0) {
            check.lines.push_back(settings.iniPath + ": " + line);
            check.exitCode = kCheckWarnings;
        } else {
            check.lines.push_back(line);
        }
    }
    checkPaths(check, settings);
    checkIPv6(check, settings);
    return check;
}

}  // namespace kelvaro

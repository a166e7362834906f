#pragma once
// Saves a ServerSettings instance and puts it back when the test ends, so a
// test may change settings freely without leaking them into the next one.

#include "service/server_settings.h"

namespace kelvaro::testing_support {

class SettingsGuard {
public:
    explicit SettingsGuard(ServerSettings& guarded) : settings(guarded), saved(guarded) {}
    ~SettingsGuard() { settings = saved; }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;

private:
    ServerSettings& settings;
    ServerSettings saved;
};

}  // namespace kelvaro::testing_support

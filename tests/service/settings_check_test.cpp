// What --check-config makes of a settings file: the exit status and the line
// that names the file, the key and the reason.

#include "service/settings_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "service/server_settings.h"
#include "support/temp_directory.h"

namespace kelvaro {
namespace {

using testing_support::TempDirectory;

uint32_t fixedAddress(const std::string&) { return 0x0100007Fu; }

TEST(SettingsCheckTest, ExitStatusAndReasonFollowTheWorstProblem) {
    struct Row {
        const char* ini;  // nullptr: no file at all
        bool required;
        int exitCode;
        const char* reason;  // a part of a line that starts with the file's path; "" for none
    };
    // Paths are relative to the temporary directory, the check's working
    // directory; "present" and "present.db" exist there.
    const Row rows[] = {
        {"[Core]\nMaxHosts=100\n[Zone]\nBanFile=present\n", true, kCheckClean, ""},
        {nullptr, false, kCheckClean, ""},
        {nullptr, true, kCheckFatal, ": Error: cannot read: "},
        {"[Core]\nMaxHost=100\n", true, kCheckWarnings, ": Warning: line 2: unknown key MaxHost"},
        {"[Core]\nChunkSize=9999\n", true, kCheckWarnings,
         ": Warning: [Core] ChunkSize=9999 -> 502"},
        {"[Zone]\nBanFile=absent\n", true, kCheckFatal,
         ": Error: [Zone] BanFile=absent: cannot read"},
        // A fatal problem outranks a warning in the same file.
        {"[Core]\nChunkSize=0\n[Zone]\nBanFile=absent\n", true, kCheckFatal, "BanFile=absent"},
        {"[Directory]\nStateFile=present.db\n", true, kCheckClean, ""},
        {"[Directory]\nStateFile=new.db\n", true, kCheckClean, ""},
        {"[Directory]\nStateFile=missing/state.db\n", true, kCheckFatal,
         ": Error: [Directory] StateFile=missing/state.db: cannot create: missing"},
        {"[Directory]\nStateFile=folder\n", true, kCheckFatal,
         ": Error: [Directory] StateFile=folder: cannot use"},
        {"[Directory]\nMetricsFile=missing/m.prom\n", true, kCheckWarnings,
         ": Warning: [Directory] MetricsFile=missing/m.prom: cannot be written"},
    };
    const std::string saved = std::filesystem::current_path();
    for (const Row& row : rows) {
        TempDirectory directory;
        directory.write("present", "10.0.0.0/8\n");
        directory.write("present.db", "");
        std::filesystem::create_directory(directory.file("folder"));
        std::filesystem::current_path(directory.path());
        if (row.ini != nullptr) directory.write("kelvaro.ini", row.ini);
        ServerSettings settings;
        settings.loadFile("kelvaro.ini", fixedAddress);
        const ConfigCheck check = checkConfig(settings, row.required);
        std::filesystem::current_path(saved);

        const std::string label = row.ini != nullptr ? row.ini : "(no file)";
        EXPECT_EQ(check.exitCode, row.exitCode) << label;
        bool named = false;
        for (const std::string& line : check.lines) {
            const bool problem = line.rfind("kelvaro.ini: ", 0) == 0;
            // Every problem line counts towards the status, and no clean
            // file has one.
            if (row.exitCode == kCheckClean) {
                EXPECT_FALSE(problem) << label << ": " << line;
            }
            if (problem && *row.reason != '\0' && line.find(row.reason) != std::string::npos)
                named = true;
        }
        if (*row.reason != '\0') {
            EXPECT_TRUE(named) << label;
        }
    }
}

}  // namespace
}  // namespace kelvaro

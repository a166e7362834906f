// What `cmake --install` puts in place, as an operator finds it: the server
// and its tools but not the soak program, the documents, a unit that starts
// the server on the settings under etc and reloads it with SIGHUP, and a
// settings file there that a second install leaves as the operator left it.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/temp_directory.h"

namespace kelvaro::testing_support {
namespace {

// The build tree the tests were built in holds the install script.
std::string buildDirectory() {
    const std::string tools = KELVARO_TOOLS_DIR;
    return tools.substr(0, tools.rfind('/'));
}

// Runs an install into prefix, bounded by timeout(1); true on success.
bool installInto(const std::string& prefix) {
    const std::string command = "timeout 120 cmake --install '" + buildDirectory() +
                                "' --prefix '" + prefix + "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(InstallTest, InstallPlacesTheUnitTheSettingsAndTheDocumentsAndKeepsEditedSettings) {
    TempDirectory prefix;
    ASSERT_TRUE(installInto(prefix.path()));
    const char* present[] = {"bin/kelvaro",
                             "bin/kelvaro_query",
                             "bin/kelvaro_zone",
                             "etc/kelvaro/kelvaro.ini",
                             "share/kelvaro/kelvaro.ini",
                             "share/kelvaro/kelvaro-public.ini",
                             "share/kelvaro/operations.md",
                             "share/kelvaro/protocol.md",
                             "share/kelvaro/zone_datagrams.md",
                             "share/kelvaro/kelvaro.service"};
    for (const char* file : present) EXPECT_TRUE(prefix.exists(file)) << file;
    EXPECT_FALSE(prefix.exists("bin/kelvaro_soak"));
    // The unit runs the public profile, not the reference of every default.
    EXPECT_EQ(prefix.read("etc/kelvaro/kelvaro.ini"),
              prefix.read("share/kelvaro/kelvaro-public.ini"));
    EXPECT_NE(prefix.read("etc/kelvaro/kelvaro.ini"), prefix.read("share/kelvaro/kelvaro.ini"));

    const std::string unit = prefix.read("share/kelvaro/kelvaro.service");
    const std::string lines[] = {
        "\nExecStart=" + prefix.path() + "/bin/kelvaro --config " + prefix.path() +
            "/etc/kelvaro/kelvaro.ini\n",
        "\nExecReload=/bin/kill -HUP $MAINPID\n",
        "\"" + prefix.path() + "/bin/kelvaro\" --check-config --config \"" + prefix.path() +
            "/etc/kelvaro/kelvaro.ini\"",
        "\nProtectSystem=strict\n",
        "\nUMask=0022\n",
        "ReadWritePaths=",  // the drop-in the unit documents
    };
    for (const std::string& line : lines) EXPECT_NE(unit.find(line), std::string::npos) << line;

    const std::string edited = prefix.read("etc/kelvaro/kelvaro.ini") + "; the operator's own\n";
    prefix.write("etc/kelvaro/kelvaro.ini", edited);
    ASSERT_TRUE(installInto(prefix.path()));
    EXPECT_EQ(prefix.read("etc/kelvaro/kelvaro.ini"), edited);
}

}  // namespace
}  // namespace kelvaro::testing_support

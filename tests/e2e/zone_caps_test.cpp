// The opt-in caps against registration floods, on the real server: each
// refusal costs one console line, and the zones already listed stay served.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

struct Announcement {
    const char* host;
    const char* name;
    uint16_t port;
    const char* line;  // what the server prints for it, last line
};

TEST(ZoneCapsTest, EachCapRefusesNewZonesWithOneLineAndKeepsServingTheListed) {
    struct Case {
        const char* settings;
        std::vector<Announcement> steps;
        uint32_t zonesAfter;
    };
    const Case cases[] = {
        {"[Zone]\nMaxZones=2\n",
         {{"127.0.0.1", "Alpha", 5000, "Adding : Alpha"},
          {"127.0.0.2", "Bravo", 5000, "Adding : Bravo"},
          {"127.0.0.3", "Charlie", 5000, "---Zone limit reached: 127.0.0.3"},
          {"127.0.0.1", "Alpha", 5000, "---Update : Alpha"},
          {"127.0.0.2", "Delta", 5002, "---Zone limit reached: 127.0.0.2"}},
         2},
        {"[Zone]\nMaxZonesPerAddress=2\n",
         {{"127.0.0.1", "Alpha", 5000, "Adding : Alpha"},
          {"127.0.0.1", "Bravo", 5002, "Adding : Bravo"},
          {"127.0.0.1", "Charlie", 5004, "---Zone limit reached: 127.0.0.1"},
          {"127.0.0.2", "Charlie", 5004, "Adding : Charlie"},
          {"127.0.0.1", "Bravo", 5002, "---Update : Bravo"}},
         3},
        {"[Zone]\nMaxPasswordRecords=1\n",
         {{"127.0.0.1", "Alpha", 5000, "Adding : Alpha"},
          {"127.0.0.1", "Bravo", 5002, "---Password limit reached: 127.0.0.1: Bravo"},
          {"127.0.0.2", "Alpha", 5000, "Adding : Alpha"},
          {"127.0.0.1", "Alpha", 5000, "---Update : Alpha"}},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        ServerProcess server{c.settings};
        ASSERT_TRUE(server.waitForLine(kBannerLine));
        for (const Announcement& step : c.steps) {
            HostSocket host(step.host, kServerUpdatePort);
            ASSERT_TRUE(host.bound) << step.host;
            ASSERT_TRUE(host.send(announcement(step.name, step.port, 1, "capped")));
            EXPECT_TRUE(server.waitForLine(step.line)) << step.line << "\n" << server.output();
        }
        const HostSocket querier("127.0.0.1", kServerUpdatePort);
        ASSERT_TRUE(querier.bound);
        EXPECT_EQ(querier.count(77), c.zonesAfter);

        // The count was answered after every update was handled: each accepted
        // announcement printed one Update line, each refusal none.
        server.drain();
        const std::string& printed = server.output();
        size_t accepted = 0;
        for (const Announcement& step : c.steps)
            if (std::string(step.line).find("limit reached") == std::string::npos) ++accepted;
        EXPECT_EQ(countOf(printed, "---Update : "), accepted) << printed;
    }
}

}  // namespace
}  // namespace kelvaro::testing_support

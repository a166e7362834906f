// The opt-in caps against registration floods, on the real server: each
// refusal costs one console line, and the zones already listed stay served.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/server_process.h"
#include "support/udp_wait.h"
#include "support/zone_wire.h"

namespace kelvaro::testing_support {
namespace {

// A UDP socket bound to a chosen loopback address, so that one test can play
// zones on several hosts.
class HostSocket {
public:
    explicit HostSocket(const char* address) : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr(address);
        bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    ~HostSocket() {
        if (fd >= 0) close(fd);
    }
    HostSocket(const HostSocket&) = delete;
    HostSocket& operator=(const HostSocket&) = delete;

    bool send(const std::vector<uint8_t>& bytes) const {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(kServerUpdatePort);
        return bound && sendto(fd, bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&server), sizeof server) ==
                            static_cast<ssize_t>(bytes.size());
    }

    const int fd;
    bool bound = false;
};

std::vector<uint8_t> announce(const std::string& name, uint16_t port) {
    ZoneUpdate update;
    update.port = port;
    update.population = 1;
    update.name = name;
    update.password = "pw";
    update.description = "capped";
    return updateDatagram(update);
}

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
        ASSERT_TRUE(server.waitForLine("Kelvaro (Build 3)"));
        for (const Announcement& step : c.steps) {
            HostSocket host(step.host);
            ASSERT_TRUE(host.bound) << step.host;
            ASSERT_TRUE(host.send(announce(step.name, step.port)));
            EXPECT_TRUE(server.waitForLine(step.line)) << step.line << "\n" << server.output();
        }
        UdpEndpoint querier;
        ASSERT_GE(querier.open(0), 0);
        ASSERT_TRUE(sendTo(querier, kServerUpdatePort, le32(77)));
        const auto reply = pollWithin(querier);
        ASSERT_NE(reply, nullptr);
        ASSERT_EQ(reply->length(), 8u);
        EXPECT_EQ(readU32(reply->data(), 0), c.zonesAfter);

        // The count was answered after every update was handled: each accepted
        // announcement printed one Update line, each refusal none.
        server.drain();
        const std::string& printed = server.output();
        size_t accepted = 0, updates = 0;
        for (const Announcement& step : c.steps)
            if (std::string(step.line).find("limit reached") == std::string::npos) ++accepted;
        for (size_t at = printed.find("---Update : "); at != std::string::npos;
             at = printed.find("---Update : ", at + 1))
            ++updates;
        EXPECT_EQ(updates, accepted) << printed;
    }
}

}  // namespace
}  // namespace kelvaro::testing_support

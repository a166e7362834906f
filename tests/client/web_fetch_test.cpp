// kelvaro_fetch_web against an HTTP server played on loopback: a thread that
// takes one connection, reads the request, answers with the test's bytes in
// small pieces, then closes or holds the connection until the fetch is over.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "kelvaro.h"

namespace {

class FakeHttp {
public:
    FakeHttp(std::string answer, bool hold) : reply(std::move(answer)), holdOpen(hold) {
        sockaddr_in local{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof local;
        if (bind(listener, reinterpret_cast<sockaddr*>(&local), size) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&local), &size) == 0)
            port = ntohs(local.sin_port);
        if (port != 0) worker = std::thread([this] { serve(); });
    }
    ~FakeHttp() {
        finish();
        close(listener);
    }
    FakeHttp(const FakeHttp&) = delete;
    FakeHttp& operator=(const FakeHttp&) = delete;

    // The fetch is over: a held connection is closed, the thread ends.
    void finish() {
        finished = true;
        if (worker.joinable()) worker.join();
    }

    uint16_t port = 0;
    std::string request;  // for the test once finished

private:
    // Waits at most 5 s, or until the fetch is over.
    bool readable(int fd) {
        pollfd entry{fd, POLLIN, 0};
        for (int waited = 0; waited < 5000 && !finished; ++waited)
            if (poll(&entry, 1, 1) > 0) return true;
        return false;
    }

    void serve() {
        const int connection = readable(listener) ? accept(listener, nullptr, nullptr) : -1;
        if (connection < 0) return;
        char buffer[1024];
        for (ssize_t got = 1; got > 0 && request.find("\r\n\r\n") == std::string::npos &&
                              readable(connection);) {
            got = recv(connection, buffer, sizeof buffer, 0);
            request.append(buffer, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        }
        for (size_t at = 0; at < reply.size(); at += 700) {
            send(connection, reply.data() + at, std::min<size_t>(700, reply.size() - at), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (holdOpen) readable(-1);  // polls nothing: waits for the end of the fetch
        close(connection);
    }

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string reply;
    bool holdOpen;
    std::atomic<bool> finished{false};
    std::thread worker;
};

std::string withLength(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A held connection ends the read at the Content-Length, a closed one
// without a length at the close; a head that settles the outcome ends it
// at once.
TEST(WebFetchTest, ReadsAnswersOverTheConnectionAndSaysWhatWentWrong) {
    std::string body = "{\"zones\":[";
    for (int i = 0; i < 40; ++i)  // several reads long
        body += (i == 0 ? "{\"address\":\"10.0.0." : ",{\"address\":\"10.0.0.") +
                std::to_string(i + 1) + "\",\"port\":" + std::to_string(1000 + i) +
                ",\"description\":\"" + std::string(100, 'd') + "\"}";
    body += "]}";
    struct Case {
        const char* what;
        std::string answer;
        bool hold;
        uint32_t timeoutMs;
        uint32_t maxZones;
        kelvaro_status status;
    };
    const Case cases[] = {
        {"a length, the connection held", withLength(body), true, 60000, 40, KELVARO_OK},
        {"no length, read to the close", "HTTP/1.0 200 OK\r\n\r\n" + body, false, 60000, 0,
         KELVARO_OK},
        {"closed before the length", withLength(body).substr(0, 900), false, 60000, 0,
         KELVARO_ERR_CLOSED},
        {"not found, the connection held", "HTTP/1.1 404 Not Found\r\n\r\n", true, 60000, 0,
         KELVARO_ERR_HTTP},
        {"garbage, the connection held", "SSH-2.0-x\r\n", true, 60000, 0, KELVARO_ERR_MALFORMED},
        {"no answer", "", true, 100, 0, KELVARO_ERR_TIMEOUT},
        {"more zones than asked for", withLength(body), false, 60000, 39, KELVARO_ERR_TOO_MANY},
        {"more bytes than 39 zones may take", withLength(body + std::string(200000, ' ')), true,
         60000, 39, KELVARO_ERR_TOO_MANY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHttp fake(c.answer, c.hold);
        ASSERT_NE(fake.port, 0);
        kelvaro_web_zone* zones = nullptr;
        size_t count = 99;
        EXPECT_EQ(kelvaro_fetch_web("127.0.0.1", fake.port, c.timeoutMs, c.maxZones, &zones, &count),
                  c.status);
        fake.finish();
        const bool good = c.status == KELVARO_OK;
        ASSERT_EQ(count, good ? 40u : 0u);
        ASSERT_EQ(zones != nullptr, good);
        if (good) {
            EXPECT_STREQ(zones[39].zone.address_text, "10.0.0.40");
            EXPECT_EQ(zones[39].zone.port, 1039);
        }
        kelvaro_free_web_zones(zones);
        // HTTP/1.0, so no chunked answer can come; no compression asked.
        EXPECT_EQ(fake.request, "GET /zones.json HTTP/1.0\r\nHost: 127.0.0.1:" +
                                    std::to_string(fake.port) +
                                    "\r\nAccept-Encoding: identity\r\nConnection: close\r\n"
                                    "User-Agent: libkelvaro/" KELVARO_VERSION_STRING "\r\n\r\n");
    }
}

// A refused connection is in the query tool's end-to-end test.
TEST(WebFetchTest, RefusesBadArgumentsBeforeConnecting) {
    kelvaro_web_zone* zones = nullptr;
    size_t count = 0;
    for (const char* address : {"localhost", "[10.0.0.1]", "::1]", "10.0.0.1:80", "fe80::1%lo"})
        EXPECT_EQ(kelvaro_fetch_web(address, 1, 100, 0, &zones, &count), KELVARO_ERR_ARGUMENT)
            << address;
    EXPECT_EQ(kelvaro_fetch_web("127.0.0.1", 1, 100, 0, nullptr, &count), KELVARO_ERR_ARGUMENT);
    EXPECT_EQ(kelvaro_fetch_web("127.0.0.1", 1, 3600001, 0, &zones, &count), KELVARO_ERR_ARGUMENT);
    EXPECT_EQ(zones, nullptr);
}

}  // namespace

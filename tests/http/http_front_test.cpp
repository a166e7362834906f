// The HTTP front in this process on an ephemeral loopback port, driven by the
// test's own thread: every request is written byte for byte and every wait
// runs the front between reads, as the service loop does.

#include "http/http_front.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/http_document.h"
#include "http/http_headers.h"
#include "platform/wait.h"
#include "platform/tick_clock.h"
#include "support/http_client.h"

namespace kelvaro::testing_support {
namespace {

constexpr int64_t kModified = 1700000000;

class HttpFrontTest : public ::testing::Test {
protected:
    void start(HttpSettings settings = {}) {
        settings.address = htonl(INADDR_LOOPBACK);
        std::string reason;
        ASSERT_TRUE(front.open(settings, reason)) << reason;
        ASSERT_NE(front.localPort(), 0);
        front.publish("/list.json", list);
        front.publish("/plain", prepareDocument("plain text", {"text/plain", 0, "no-store", false}));
    }
    Pump pump() {
        return [this] { front.run(); };
    }
    std::optional<HttpResponse> get(HttpConnection& connection, const std::string& path,
                                    const std::string& headers = {}, const char* method = "GET") {
        return connection.request(method, path, headers, pump());
    }

    std::shared_ptr<const HttpDocument> list = prepareDocument(
        "{\"zones\":[" + std::string(3000, ' ') + "]}",
        {"application/json", kModified, "max-age=5", true});
    HttpFront front;
};

TEST_F(HttpFrontTest, ADocumentWithoutGzipSaysNothingOfEncodings) {
    start();
    HttpConnection connection(front.localPort());
    const auto response = get(connection, "/plain", "Accept-Encoding: gzip\r\n");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->body, "plain text");
    EXPECT_FALSE(response->has("content-encoding"));
    EXPECT_FALSE(response->has("vary"));
    EXPECT_FALSE(response->has("last-modified"));
    EXPECT_EQ(response->header("cache-control"), "no-store");
}

TEST_F(HttpFrontTest, KeptAliveConnectionSeesEachPublishedDocumentInTurn) {
    start();
    HttpConnection connection(front.localPort());
    std::string previousTag;
    for (int version = 0; version < 5; ++version) {
        const std::string body = "{\"version\":" + std::to_string(version) + "}";
        front.publish("/list.json",
                      prepareDocument(body, {"application/json", kModified + version, {}, true}));
        const auto response = get(connection, "/list.json");
        ASSERT_TRUE(response) << version;
        EXPECT_EQ(response->body, body);
        EXPECT_NE(response->header("etag"), previousTag);
        if (!previousTag.empty()) {
            const auto stale = get(connection, "/list.json", "If-None-Match: " + previousTag + "\r\n");
            ASSERT_TRUE(stale);
            EXPECT_EQ(stale->status, 200) << "an old tag must not get a 304";
        }
        previousTag = response->header("etag");
        EXPECT_FALSE(response->has("connection")) << "the connection stays open";
    }
}

TEST_F(HttpFrontTest, AResponseUnderWayKeepsItsBytesWhenTheDocumentIsReplaced) {
    start();
    // Larger than the socket buffers, so the response is still being sent
    // when the next document replaces it.
    std::string big(8 << 20, 'a');
    for (size_t at = 0; at < big.size(); at += 1000) big[at] = 'b';
    front.publish("/big", prepareDocument(big, {"text/plain", 0, {}, false}));
    HttpConnection connection(front.localPort());
    ASSERT_TRUE(connection.sendRaw("GET /big HTTP/1.1\r\nHost: x\r\n\r\n", pump()));
    for (int round = 0; round < 50 && connection.received().empty(); ++round) {
        front.run();
        sleepMs(1);
    }
    ASSERT_FALSE(connection.received().empty());
    front.publish("/big", prepareDocument("small", {"text/plain", 0, {}, false}));
    const auto response = connection.readResponse(false, pump(), 20000);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body.size(), big.size());
    EXPECT_TRUE(response->body == big);
    const auto next = get(connection, "/big");
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, "small");
}

TEST_F(HttpFrontTest, TheDescriptorTurnsReadableForANewConnection) {
    start();
    const int descriptors[] = {front.descriptor()};
    ASSERT_GE(descriptors[0], 0);
    EXPECT_EQ(waitForReadable(descriptors, 0), 0u) << "nothing to do yet";
    HttpConnection connection(front.localPort());
    EXPECT_EQ(waitForReadable(descriptors, 2000), 1u);
    EXPECT_TRUE(get(connection, "/plain"));
}

TEST_F(HttpFrontTest, AnIdleConnectionIsClosedAfterTheTimeout) {
    HttpSettings settings;
    settings.timeoutSeconds = 1;
    start(settings);
    HttpConnection idle(front.localPort());
    HttpConnection used(front.localPort());
    ASSERT_TRUE(get(used, "/plain"));
    const uint32_t begin = tickCount();
    EXPECT_TRUE(idle.waitClosed(8000, pump()));
    EXPECT_TRUE(used.waitClosed(8000, pump()));
    EXPECT_GE(elapsedMs(tickCount(), begin), 500u) << "not before its time-out";
}

TEST_F(HttpFrontTest, ConnectionsBeyondTheLimitsWaitOrAreClosed) {
    HttpSettings settings;
    settings.maxConnections = 3;
    settings.maxConnectionsPerAddress = 2;
    start(settings);
    HttpConnection first(front.localPort());
    HttpConnection second(front.localPort());
    ASSERT_TRUE(get(first, "/plain"));
    ASSERT_TRUE(get(second, "/plain"));
    // A third from the same address is turned away at once.
    HttpConnection third(front.localPort());
    EXPECT_TRUE(third.waitClosed(3000, pump()));
    // Another address still gets the last place.
    HttpConnection other(front.localPort(), "127.0.0.2");
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(get(other, "/plain"));
    // Beyond the total limit a connection is not served while the others stay.
    HttpConnection waiting(front.localPort(), "127.0.0.3");
    ASSERT_TRUE(waiting.connected());
    EXPECT_FALSE(waiting.request("GET", "/plain", {}, pump(), 500));
    first.close();
    const auto served = waiting.readResponse(false, pump(), 5000);
    ASSERT_TRUE(served) << "served once a place is free";
    EXPECT_EQ(served->body, "plain text");
}

// Every answered request is timed once, whatever its status, including the
// one refused before its body and the one that finds no document.
TEST_F(HttpFrontTest, EveryRequestIsTimedOnceWhateverItsStatus) {
    start();
    HttpConnection connection(front.localPort());
    ASSERT_EQ(get(connection, "/plain")->status, 200);
    ASSERT_EQ(get(connection, "/missing")->status, 404);
    HttpConnection refused(front.localPort());
    ASSERT_EQ(get(refused, "/plain", "Content-Length: 4\r\n", "POST")->status, 405);
    // The count is raised when MHD reports the response finished, which may
    // be a run() after the client has read it.
    for (int i = 0; i < 200 && front.requestSeconds().count() < 3; ++i) {
        front.run();
        sleepMs(1);
    }
    const Histogram& times = front.requestSeconds();
    EXPECT_EQ(times.count(), 3u);
    EXPECT_EQ(times.cumulative(times.bucketCount()), 3u);
    EXPECT_GE(times.valueSum(), 0.0);
    EXPECT_LT(times.valueSum(), 30.0) << "a start read back as a wrong number";
}

TEST_F(HttpFrontTest, ARequestTrickledInIsClosedAfterTheTimeoutWhateverItsPace) {
    HttpSettings settings;
    settings.timeoutSeconds = 1;
    start(settings);
    // On a fresh connection, and on one that was kept alive after a request.
    for (const bool keptAlive : {false, true}) {
        HttpConnection slow(front.localPort());
        if (keptAlive) {
            ASSERT_TRUE(get(slow, "/plain"));
        }
        const std::string request = "GET /plain HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(60, 'a');
        // A byte every tenth of a second: never idle for the time-out.
        bool closed = false;
        for (size_t sent = 0; sent < request.size() && !closed; ++sent) {
            slow.sendRaw(request.substr(sent, 1), pump(), 100);
            closed = slow.waitClosed(100, pump());
        }
        EXPECT_TRUE(closed) << keptAlive;
        HttpConnection honest(front.localPort());
        const auto response = get(honest, "/plain");
        ASSERT_TRUE(response) << keptAlive;
        EXPECT_EQ(response->body, "plain text");
    }
}

TEST_F(HttpFrontTest, ReadersOfTheOldestVersionAreClosedWhenTooManyAreHeld) {
    start();  // no time-out: only the versions held close a connection
    // Far larger than the socket buffers on both sides, so that a reader
    // reading nothing is still being sent its version when the next ones are
    // published.
    constexpr size_t kBytes = 24u << 20;
    const auto version = [](char letter) {
        return prepareDocument(std::string(kBytes, letter), {"text/plain", 0, {}, false});
    };
    std::vector<std::unique_ptr<HttpConnection>> readers;
    std::weak_ptr<const HttpDocument> oldest;
    for (const char letter : std::string("abc")) {
        const auto document = version(letter);
        if (letter == 'a') oldest = document;
        front.publish("/big", document);
        readers.push_back(std::make_unique<HttpConnection>(front.localPort()));
        ASSERT_TRUE(readers.back()->sendRaw("GET /big HTTP/1.1\r\nHost: x\r\n\r\n", pump()));
        for (int round = 0; round < 50 && readers.back()->received().empty(); ++round) {
            front.run();
            sleepMs(1);
        }
        ASSERT_FALSE(readers.back()->received().empty()) << letter;
    }
    front.publish("/big", version('d'));  // 'a' is now the third older version
    EXPECT_TRUE(readers[0]->waitClosed(5000, pump()));
    EXPECT_LT(readers[0]->received().size(), kBytes) << "cut short";
    for (int round = 0; round < 50 && !oldest.expired(); ++round) front.run();
    EXPECT_TRUE(oldest.expired()) << "its bytes are freed";
    for (size_t reader = 1; reader < readers.size(); ++reader) {
        const auto response = readers[reader]->readResponse(false, pump(), 20000);
        ASSERT_TRUE(response) << reader;
        EXPECT_EQ(response->body, std::string(kBytes, static_cast<char>('a' + reader)));
    }
}

TEST_F(HttpFrontTest, APortInUseIsRefusedWithItsReason) {
    start();
    HttpFront second;
    HttpSettings settings;
    settings.address = htonl(INADDR_LOOPBACK);
    settings.port = front.localPort();
    std::string reason;
    EXPECT_FALSE(second.open(settings, reason));
    EXPECT_EQ(reason, "bind(" + std::to_string(front.localPort()) + ") error: Address already in use");
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(second.descriptor(), -1);
    second.run();  // a closed front does nothing
}

}  // namespace
}  // namespace kelvaro::testing_support

namespace kelvaro::testing_support {
namespace {

// A routed path: the handler sees the decoded arguments, its refusal is a
// 400 of one line, and its document keeps the validators and 304 of a
// published one.
TEST_F(HttpFrontTest, RoutedPathAnswersFromItsArguments) {
    start();
    HttpArguments seen;
    front.route("/asked", [&](const HttpArguments& arguments, std::string& reason)
                              -> std::shared_ptr<const HttpDocument> {
        seen = arguments;
        if (!arguments.empty() && arguments[0].first == "bad") {
            reason = "bad is refused\nand this line is not sent";
            return nullptr;
        }
        return list;
    });
    HttpConnection connection(front.localPort());
    auto response = get(connection, "/asked?range=24h&zone=1.2.3.4%3A5&flag");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->body, list->body);
    const HttpArguments expected = {{"range", "24h"}, {"zone", "1.2.3.4:5"}, {"flag", ""}};
    EXPECT_EQ(seen, expected);
    response = get(connection, "/asked?x=1", "If-None-Match: " + list->etag + "\r\n");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 304);
    EXPECT_EQ(response->header("etag"), list->etag);
    response = get(connection, "/asked", "Accept-Encoding: gzip\r\n");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->header("content-encoding"), "gzip");
    response = get(connection, "/asked?bad=1");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 400);
    EXPECT_EQ(response->body, "bad is refused\n");
    response = get(connection, "/asked/more");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 404);
}

}  // namespace
}  // namespace kelvaro::testing_support

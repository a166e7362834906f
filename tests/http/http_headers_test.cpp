// The request headers that decide between 200, 304 and the gzip copy: a
// misread here serves a stale list or bytes a client cannot decode.

#include "http/http_headers.h"

#include <gtest/gtest.h>

namespace kelvaro {
namespace {

TEST(HttpHeadersTest, AcceptEncodingSendsGzipWhenItsMostSpecificEntryAcceptsIt) {
    struct Row {
        const char* value;
        bool gzip;
    };
    const Row rows[] = {
        {"gzip", true},
        {"GZip", true},
        {"x-gzip", true},
        {"deflate, gzip;q=0.5", true},
        {"gzip ; q=1.0", true},
        {"*", true},
        {"br, *;q=0.1", true},
        {"gzip;q=0", false},
        {"gzip;q=0.000", false},
        {"gzip; Q=0.0", false},
        {"gzip;q=0.001", true},
        {"identity", false},
        {"deflate, br", false},
        {"gzipx", false},
        {"", false},
        {" , ,", false},
        {"gzip;level=1", true},
        // The most specific entry decides, whatever the order.
        {"gzip;q=0, *", false},
        {"*, gzip;q=0", false},
        {"x-gzip;q=0, *;q=1", false},
        {"*;q=0, gzip", true},
        {"*;q=0", false},
        {"gzip;q=0, gzip;q=0.5", true},  // listed twice: the higher weight
        // identity is preferred only when listed above gzip.
        {"gzip;q=0.5, identity", false},
        {"gzip;q=0.5, identity;q=0.5", true},
        {"gzip, identity;q=0", true},
        {"identity;q=0", false},  // nothing acceptable: identity all the same
        {"identity;q=0, *;q=0", false},
        // A weight that is not a q-value voids its entry, not the list.
        {"gzip;q=2", false},
        {"gzip;q=1.5, *", true},
        {"gzip;q=0.0001", false},
        {"gzip;q=abc", false},
        {"gzip;q=", false},
        {"gzip;q=1.", true},
        {"gzip;q=.5", false},
    };
    for (const Row& row : rows) EXPECT_EQ(prefersGzip(row.value), row.gzip) << row.value;
}

TEST(HttpHeadersTest, IfNoneMatchComparesWeaklyAcrossAList) {
    const char* tag = "\"1f-abc\"";
    struct Row {
        const char* value;
        bool match;
    };
    const Row rows[] = {
        {"\"1f-abc\"", true},
        {"W/\"1f-abc\"", true},
        {"\"other\", \"1f-abc\"", true},
        {"  \"1f-abc\"  ", true},
        {"*", true},
        {"\"1f-ab\"", false},
        {"1f-abc", false},  // unquoted is no tag
        {"\"1f-abc\"x", false},
        {"", false},
        {"\"1F-ABC\"", false},  // tags are case-sensitive
    };
    for (const Row& row : rows) EXPECT_EQ(noneMatchHolds(row.value, tag), row.match) << row.value;
    EXPECT_FALSE(noneMatchHolds("*", "")) << "a document without a tag matches nothing";
}

TEST(HttpHeadersTest, DatesReadInEveryFormAndWriteAsImfFixdate) {
    EXPECT_EQ(httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    struct Row {
        const char* text;
        std::optional<int64_t> seconds;
    };
    const Row rows[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
        {"Sun Nov  6 08:49:37 1994", 784111777},
        {"  Sun, 06 Nov 1994 08:49:37 GMT ", 784111777},
        {"Sun, 06 Nov 1994 08:49:37", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37 GMT junk", std::nullopt},
        {"yesterday", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& row : rows) EXPECT_EQ(parseHttpDate(row.text), row.seconds) << row.text;
    // Every second of a day and across years writes and reads back the same.
    for (int64_t seconds = 1700000000; seconds < 1700000000 + 400 * 86400; seconds += 86399 * 3)
        EXPECT_EQ(parseHttpDate(httpDate(seconds)), seconds);
}

}  // namespace
}  // namespace kelvaro

// The reader of a directory's /zones.json answer: what it takes from a good
// document, and every document or head it must refuse whole rather than
// show as something it is not.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kelvaro.h"
#include "web_list.h"

namespace kelvaro::client {
namespace {

using Zones = std::vector<kelvaro_web_zone>;

std::string document(const std::string& zones, const std::string& before = "\"generated\":1,") {
    return "{" + before + "\"zones\":[" + zones + "]}";
}

std::string answer(const std::string& body, const std::string& head = {}) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + head +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const char* const kPlainZone = R"({"address":"10.0.0.1","port":5000})";

std::string nameOf(const kelvaro_zone_entry& entry) { return {entry.name, entry.name_length}; }
std::string descriptionOf(const kelvaro_zone_entry& entry) {
    return {entry.description, entry.description_length};
}

// One good zone each: the text a directory (or a later one) may write, and
// what the entry must hold.
TEST(WebListTest, ReadsEveryMemberOfAGoodZone) {
    struct Case {
        const char* what;
        std::string zone;
        int family;
        std::string address;
        uint16_t port;
        std::string name;
        std::string description;
        std::string address6;  // "" for none
        uint16_t port6;
    };
    const std::string longName(40, 'n');
    const std::string longDescription(300, 'd');
    const Case cases[] = {
        {"IPv4, every member",
         R"({"address":"1.2.3.4","port":5000,"population":65535,"flag":1,"word":4294967295,)"
         R"("name":"Alpha","description":"first","last_heard":7,"source":"peer"})",
         KELVARO_FAMILY_IPV4, "1.2.3.4", 5000, "Alpha", "first", "", 0},
        {"IPv6, written back in its one text",
         R"({"address":"2001:DB8:0::0:5","port":1,"name":"Six"})", KELVARO_FAMILY_IPV6,
         "2001:db8::5", 1, "Six", "", "", 0},
        {"both families, addresses skipped",
         R"({"address":"10.0.0.1","port":1000,"name":"Both","description":"d",)"
         R"("address6":"2001:db8::1","port6":1001,)"
         R"("addresses":["10.0.0.1:1000","[2001:db8::1]:1001"],"last_heard":0,"source":"update"})",
         KELVARO_FAMILY_IPV4, "10.0.0.1", 1000, "Both", "d", "2001:db8::1", 1001},
        {"members in any order, white space anywhere",
         " {\n\"port\" : 65535 ,\t\"name\":\"Z\" ,\r\n\"address\":\"::1\"} ", KELVARO_FAMILY_IPV6,
         "::1", 65535, "Z", "", "", 0},
        {"escapes: \\u00XX is the byte, others their UTF-8, a surrogate pair one character",
         R"({"address":"10.0.0.1","port":2,"name":"q\"b\\s\/\u0001\u00e9",)"
         R"("description":"\b\f\n\r\t\u20ac\ud83d\ude00\u00FF"})",
         KELVARO_FAMILY_IPV4, "10.0.0.1", 2, "q\"b\\s/\x01\xe9",
         "\b\f\n\r\t\xe2\x82\xac\xf0\x9f\x98\x80\xff", "", 0},
        {"raw bytes above 127 kept", "{\"address\":\"10.0.0.1\",\"port\":3,\"name\":\"\xe9t\xe9\"}",
         KELVARO_FAMILY_IPV4, "10.0.0.1", 3, "\xe9t\xe9", "", "", 0},
        {"texts cut at 31 and 255 bytes",
         R"({"address":"10.0.0.1","port":4,"name":")" + longName + R"(","description":")" +
             longDescription + R"("})",
         KELVARO_FAMILY_IPV4, "10.0.0.1", 4, longName.substr(0, 31), longDescription.substr(0, 255),
         "", 0},
        {"a character that does not fit whole is left out",
         R"({"address":"10.0.0.1","port":5,"name":")" + std::string(29, 'a') + R"(\u20acb"})",
         KELVARO_FAMILY_IPV4, "10.0.0.1", 5, std::string(29, 'a'), "", "", 0},
        {"a text ends at its first NUL",
         R"({"address":"10.0.0.1","port":6,"name":"ab\u0000cd","description":"x\u0000y"})",
         KELVARO_FAMILY_IPV4, "10.0.0.1", 6, "ab", "x", "", 0},
        {"unknown members of any kind skipped",
         R"({"address":"10.0.0.1","future":{"a":[1,-2.5e-3,0,1E+2,true,false,null,"\u1234"],)"
         R"("b":{}},"port":7,"later":[[[[[[[[[[[[1]]]]]]]]]]]],"name":"Kept"})",
         KELVARO_FAMILY_IPV4, "10.0.0.1", 7, "Kept", "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zones zones;
        ASSERT_EQ(readZonesJson(document(c.zone), 10, zones), KELVARO_OK) << c.zone;
        ASSERT_EQ(zones.size(), 1u);
        const kelvaro_web_zone& zone = zones[0];
        EXPECT_EQ(zone.zone.family, c.family);
        EXPECT_STREQ(zone.zone.address_text, c.address.c_str());
        uint8_t bytes[16] = {};
        ASSERT_EQ(inet_pton(c.family == KELVARO_FAMILY_IPV4 ? AF_INET : AF_INET6, c.address.c_str(),
                            bytes),
                  1);
        EXPECT_EQ(std::memcmp(zone.zone.address_bytes, bytes, sizeof bytes), 0);
        uint32_t integer = 0;
        if (c.family == KELVARO_FAMILY_IPV4) std::memcpy(&integer, bytes, 4);
        EXPECT_EQ(zone.zone.address, integer);
        EXPECT_EQ(zone.zone.port, c.port);
        EXPECT_EQ(nameOf(zone.zone), c.name);
        EXPECT_EQ(std::strlen(zone.zone.name), zone.zone.name_length) << "NUL-terminated";
        EXPECT_EQ(descriptionOf(zone.zone), c.description);
        EXPECT_EQ(zone.has_address6 != 0, !c.address6.empty());
        EXPECT_STREQ(zone.address6_text, c.address6.c_str());
        EXPECT_EQ(zone.port6, c.port6);
        EXPECT_EQ(zone.zone.directory, 0u);
    }
    Zones zones;
    ASSERT_EQ(readZonesJson(document(cases[0].zone), 10, zones), KELVARO_OK);
    EXPECT_EQ(zones[0].zone.population, 65535);
    EXPECT_EQ(zones[0].zone.flag, 1);
    EXPECT_EQ(zones[0].zone.word, 4294967295u);
    EXPECT_EQ(zones[0].last_heard, 7u);
    EXPECT_EQ(zones[0].from_peer, 1);
    zones.clear();
    ASSERT_EQ(readZonesJson(document(cases[2].zone), 10, zones), KELVARO_OK);
    EXPECT_EQ(zones[0].from_peer, 0);
    for (const char* source : {"mirror", "peerless", "pee"}) {
        Zones other;
        ASSERT_EQ(readZonesJson(document(std::string(R"({"address":"10.0.0.1","port":5,"source":")") +
                                         source + "\"}"),
                                10, other),
                  KELVARO_OK)
            << source;
        EXPECT_EQ(other[0].from_peer, 0) << source;
    }
    uint8_t six[16] = {};
    inet_pton(AF_INET6, "2001:db8::1", six);
    EXPECT_EQ(std::memcmp(zones[0].address6_bytes, six, 16), 0);
}

// Whole documents: their zones in order, the count checked, members after
// the zones read too.
TEST(WebListTest, ReadsWholeDocumentsInOrder) {
    const std::string two = std::string(kPlainZone) + R"(,{"address":"::2","port":9})";
    for (const std::string& text : {document(two, R"("generated":5,"count":2,)"),
                                    R"( {"zones":[)" + two + "],\"count\":2,\"later\":\"x\"}\n"}) {
        Zones zones;
        ASSERT_EQ(readZonesJson(text, 2, zones), KELVARO_OK) << text;
        ASSERT_EQ(zones.size(), 2u) << text;
        EXPECT_STREQ(zones[0].zone.address_text, "10.0.0.1");
        EXPECT_STREQ(zones[1].zone.address_text, "::2");
    }
    Zones none;
    EXPECT_EQ(readZonesJson("{\"zones\":[]}", 1, none), KELVARO_OK);
    EXPECT_TRUE(none.empty());
}

// Each of these would crash a careless reader or show a list that is not
// the directory's; every one is refused whole, and what the caller already
// held stays as it was.
TEST(WebListTest, RefusesWhatADirectoryNeverWrites) {
    const auto zone = [](const std::string& members) {
        return document(std::string(R"({"address":"10.0.0.1","port":1,)") + members + "}");
    };
    const auto nested = [](int depth) {
        return document(std::string(R"({"address":"10.0.0.1","port":1,"x":)") +
                        std::string(depth, '[') + std::string(depth, ']') + "}");
    };
    const std::string full = document(std::string(kPlainZone) + "," + kPlainZone);
    struct Case {
        const char* what;
        std::string text;
        kelvaro_status status = KELVARO_ERR_MALFORMED;
    };
    const Case cases[] = {
        {"empty", ""},
        {"an array", "[]"},
        {"no zones", R"({"count":0})"},
        {"zones twice", R"({"zones":[],"zones":[]})"},
        {"zones not an array", R"({"zones":{}})"},
        {"a zone not an object", document("1")},
        {"after the document", document("") + "x"},
        {"cut short", full.substr(0, full.size() - 3)},
        {"a trailing comma", document(std::string(kPlainZone) + ",")},
        {"a missing comma", document(std::string(kPlainZone) + kPlainZone)},
        {"count not the zones", document(kPlainZone, R"("count":2,)")},
        {"no address", document(R"({"port":1})")},
        {"no port", document(R"({"address":"10.0.0.1"})")},
        {"port 0", document(R"({"address":"10.0.0.1","port":0})")},
        {"port 65536", document(R"({"address":"10.0.0.1","port":65536})")},
        {"port negative", document(R"({"address":"10.0.0.1","port":-1})")},
        {"port a fraction", document(R"({"address":"10.0.0.1","port":1.5})")},
        {"port a leading zero", document(R"({"address":"10.0.0.1","port":01})")},
        {"port a string", document(R"({"address":"10.0.0.1","port":"80"})")},
        {"port huge", document(R"({"address":"10.0.0.1","port":99999999999999999999999})")},
        {"population 65536", zone(R"("population":65536)")},
        {"flag 2", zone(R"("flag":2)")},
        {"word 2^32", zone(R"("word":4294967296)")},
        {"a name that is a number", zone(R"("name":5)")},
        {"port twice", zone(R"("port":2)")},
        {"address twice", zone(R"("address":"10.0.0.2")")},
        {"address not one", document(R"({"address":"1.2.3","port":1})")},
        {"address a name", document(R"({"address":"example.com","port":1})")},
        {"address bracketed", document(R"({"address":"[::1]","port":1})")},
        {"address with a NUL", document(R"({"address":"1.2.3.4\u0000","port":1})")},
        {"address too long", document(R"({"address":")" + std::string(60, '1') + R"(","port":1})")},
        {"address6 IPv4", zone(R"("address6":"10.0.0.2","port6":1)")},
        {"address6 without port6", zone(R"("address6":"::1")")},
        {"port6 without address6", zone(R"("port6":1)")},
        {"an unterminated string", document(R"({"address":"10.0.0.1","port":1,"name":"ab)")},
        {"a raw control byte", zone("\"name\":\"a\x01\"")},
        {"an unknown escape", zone(R"("name":"\x41")")},
        {"a short \\u", zone(R"("name":"\u12")")},
        {"a lone low surrogate", zone(R"("name":"\udc00")")},
        {"a high surrogate alone", zone(R"("name":"\ud83dx")")},
        {"a high surrogate, then no low one", zone(R"("name":"\ud83d\u0041")")},
        {"an unknown member without a value", zone(R"("x":)")},
        {"a bad number", zone(R"("x":1.)")},
        {"nesting past the bound", nested(kMostNesting)},
        {"nesting far past the bound", nested(100000)},
        {"more zones than the bound", full, KELVARO_ERR_TOO_MANY},
    };
    // The deepest value a zone may hold still passes.
    Zones deep;
    EXPECT_EQ(readZonesJson(nested(kMostNesting - 3), 1, deep), KELVARO_OK);
    for (const Case& c : cases) {
        Zones zones(1);
        zones[0].port6 = 4242;
        EXPECT_EQ(readZonesJson(c.text, 1, zones), c.status) << c.what << ": " << c.text;
        ASSERT_EQ(zones.size(), 1u) << c.what;
        EXPECT_EQ(zones[0].port6, 4242) << c.what;
    }
}

// The head around the document: status, length and codings.
TEST(WebListTest, ReadsTheAnswerHead) {
    const std::string body = document(kPlainZone);
    const std::string cl = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    struct Case {
        const char* what;
        std::string text;
        kelvaro_status status;
    };
    const Case cases[] = {
        {"a whole answer", answer(body), KELVARO_OK},
        {"HTTP/1.0, bare line ends, no length",
         "HTTP/1.0 200\nContent-Type: application/json\n\n" + body, KELVARO_OK},
        {"identity coding, the length twice alike",
         answer(body, "Content-Encoding: identity\r\n" + cl), KELVARO_OK},
        {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno\n", KELVARO_ERR_HTTP},
        {"not modified", "HTTP/1.1 304 Not Modified\r\n\r\n", KELVARO_ERR_HTTP},
        {"nothing at all", "", KELVARO_ERR_CLOSED},
        {"a head without its end", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", KELVARO_ERR_CLOSED},
        {"a body shorter than its length", answer(body).substr(0, answer(body).size() - 1),
         KELVARO_ERR_CLOSED},
        {"a body longer than its length", answer(body) + " ", KELVARO_ERR_MALFORMED},
        {"two lengths", answer(body, "Content-Length: 1\r\n"), KELVARO_ERR_MALFORMED},
        {"a length that is not a number", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n1",
         KELVARO_ERR_MALFORMED},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         KELVARO_ERR_MALFORMED},
        {"gzip", answer(body, "Content-Encoding: gzip\r\n"), KELVARO_ERR_MALFORMED},
        {"HTTP/2", "HTTP/2 200\r\n\r\n" + body, KELVARO_ERR_MALFORMED},
        {"not HTTP", "ICY 200 OK\r\n\r\n" + body, KELVARO_ERR_MALFORMED},
        {"a header without a colon", "HTTP/1.1 200 OK\r\nBroken\r\n\r\n" + body,
         KELVARO_ERR_MALFORMED},
        {"a folded header", "HTTP/1.1 200 OK\r\nA: b\r\n c\r\n\r\n" + body, KELVARO_ERR_MALFORMED},
        {"a head past its bound",
         "HTTP/1.1 200 OK\r\nX: " + std::string(kLongestHead, 'x') + "\r\n\r\n" + body,
         KELVARO_ERR_MALFORMED},
        {"a line past the bound, unended", "HTTP/1.1 200 OK\r\nX: " + std::string(kLongestHead, 'x'),
         KELVARO_ERR_MALFORMED},
        {"a good head, a bad body", answer("{\"zones\":[}"), KELVARO_ERR_MALFORMED},
        {"a length past the bound for one zone",
         "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(webAnswerLimit(1)) + "\r\n\r\n",
         KELVARO_ERR_TOO_MANY},
        {"a body past the bound for one zone",
         "HTTP/1.0 200 OK\r\n\r\n" + std::string(webAnswerLimit(1), ' '), KELVARO_ERR_TOO_MANY},
    };
    for (const Case& c : cases) {
        Zones zones;
        EXPECT_EQ(readWebAnswer(c.text, 1, zones), c.status) << c.what;
        EXPECT_EQ(zones.size(), c.status == KELVARO_OK ? 1u : 0u) << c.what;
    }
    EXPECT_EQ(webAnswerLimit(0), KELVARO_WEB_BYTES_BASE);
    EXPECT_EQ(webAnswerLimit(UINT32_MAX), KELVARO_WEB_BYTES_MOST);
}

}  // namespace
}  // namespace kelvaro::client

// Prepared documents: the validators that make 304s safe and the gzip copy
// that must decode to exactly the identity bytes.

#include "http/http_document.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace kelvaro {
namespace {

std::string noise(size_t length, uint32_t seed) {
    std::mt19937 random(seed);
    std::string text(length, '\0');
    for (char& c : text) c = static_cast<char>(random() & 0xff);
    return text;
}

TEST(HttpDocumentTest, GzipCopyDecodesToTheBodyAtEverySize) {
    std::string repetitive;
    for (int i = 0; i < 40000; ++i) repetitive += "{\"name\":\"Zone " + std::to_string(i) + "\"},";
    const std::string bodies[] = {"", "a", "ok", std::string(100000, 'x'), noise(70000, 1),
                                  repetitive};
    for (const std::string& body : bodies) {
        const auto document = prepareDocument(body, {"application/json", 5, "max-age=5", true});
        ASSERT_FALSE(document->gzipBody.empty()) << body.size();
        EXPECT_EQ(static_cast<unsigned char>(document->gzipBody[0]), 0x1f);
        EXPECT_EQ(static_cast<unsigned char>(document->gzipBody[1]), 0x8b);
        std::string decoded;
        ASSERT_TRUE(gzipDecompress(document->gzipBody, decoded)) << body.size();
        EXPECT_EQ(decoded, body);
        EXPECT_EQ(document->body, body);
    }
    const auto compressible = prepareDocument(repetitive, {"application/json", 0, {}, true});
    EXPECT_LT(compressible->gzipBody.size(), repetitive.size() / 4);
}

TEST(HttpDocumentTest, TagsAreStrongAndFollowTheBytes) {
    const auto first = prepareDocument("{\"count\":1}", {"application/json", 10, {}, true});
    const auto same = prepareDocument("{\"count\":1}", {"text/plain", 99, {}, true});
    const auto other = prepareDocument("{\"count\":2}", {"application/json", 10, {}, true});
    const auto plain = prepareDocument("{\"count\":1}", {"application/json", 10, {}, false});
    for (const auto& document : {first, same, other}) {
        ASSERT_GE(document->etag.size(), 3u);
        EXPECT_EQ(document->etag.front(), '"');
        EXPECT_EQ(document->etag.back(), '"');
        EXPECT_NE(document->etag.substr(0, 2), "W/");
        EXPECT_NE(document->etag, document->gzipEtag) << "each representation has its own tag";
    }
    EXPECT_EQ(first->etag, same->etag);
    EXPECT_NE(first->etag, other->etag);
    EXPECT_NE(first->gzipEtag, other->gzipEtag);
    EXPECT_TRUE(plain->gzipBody.empty());
    EXPECT_TRUE(plain->gzipEtag.empty());
    EXPECT_EQ(first->lastModified, 10);
    // One flipped byte anywhere in a long body changes the tag.
    const std::string base = noise(4096, 7);
    const std::string baseTag = prepareDocument(base, {})->etag;
    for (size_t at = 0; at < base.size(); at += 97) {
        std::string changed = base;
        changed[at] = static_cast<char>(changed[at] ^ 1);
        EXPECT_NE(prepareDocument(changed, {})->etag, baseTag) << at;
    }
}

TEST(HttpDocumentTest, DecompressRefusesWhatIsNotOneWholeMember) {
    const std::string packed = gzipCompress(std::string(5000, 'k') + "end");
    std::string out;
    ASSERT_TRUE(gzipDecompress(packed, out));
    for (size_t cut = 0; cut < packed.size(); cut += 7)
        EXPECT_FALSE(gzipDecompress(packed.substr(0, cut), out)) << cut;
    EXPECT_FALSE(gzipDecompress(packed + "x", out));
    EXPECT_FALSE(gzipDecompress("plain text", out));
}

}  // namespace
}  // namespace kelvaro

namespace kelvaro {
namespace {

TEST(GzipStreamTest, AnySliceSizeMakesOneMemberOfTheWholeText) {
    std::string text;
    for (int i = 0; i < 30000; ++i) text += "zone " + std::to_string(i * 7919 % 100003) + ", ";
    for (const size_t slice : {size_t{1} << 20, size_t{65536}, size_t{4093}, size_t{1}}) {
        GzipStream stream;
        ASSERT_TRUE(stream.start(text));
        size_t steps = 0;
        const size_t most = text.size() / slice + 2;
        while (!stream.step(slice) && steps < most) ++steps;
        EXPECT_FALSE(stream.busy()) << slice;
        EXPECT_GE(steps + 1, text.size() / slice) << "each step takes at most its slice";
        std::string decoded;
        ASSERT_TRUE(gzipDecompress(stream.takeGzip(), decoded)) << slice;
        EXPECT_TRUE(decoded == text) << slice;
        EXPECT_TRUE(stream.takeText() == text);
    }
    // Starting again drops the member under way.
    GzipStream stream;
    ASSERT_TRUE(stream.start(text));
    EXPECT_FALSE(stream.step(1000));
    ASSERT_TRUE(stream.start("second"));
    EXPECT_TRUE(stream.step(1 << 20));
    std::string decoded;
    ASSERT_TRUE(gzipDecompress(stream.takeGzip(), decoded));
    EXPECT_EQ(decoded, "second");
    EXPECT_TRUE(GzipStream().step(10)) << "a stream never started has nothing to do";
}

}  // namespace
}  // namespace kelvaro

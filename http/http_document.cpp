#include "http/http_document.h"

#include <zlib.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kelvaro {
namespace {

// zlib counts in uInt; a body is fed to it in pieces no longer than this.
constexpr size_t kZlibPiece = std::numeric_limits<uInt>::max() / 2;
constexpr int kGzipWindowBits = 15 + 16;  // 15: the largest window; +16: gzip framing
constexpr int kMemoryLevel = 8;           // zlib's default
// Level 6 is zlib's default; the list is compressed once per rebuild, so the
// size a client fetches counts more than the time taken here.
constexpr int kCompressionLevel = 6;
// A decompressed document larger than this is refused rather than grown without bound.
constexpr size_t kLongestInflated = size_t{1} << 31;

// 64 bits of a word-at-a-time multiplicative hash; together with the zlib
// CRC-32 and the length it makes a 160-bit validator, so two bodies served in
// turn never share a tag by accident.
uint64_t wordHash(std::string_view bytes) {
    constexpr uint64_t kMultiplier = 0x9e3779b97f4a7c15ull;
    uint64_t hash = 0xcbf29ce484222325ull ^ bytes.size();
    size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes.data() + at, 8);
        hash = (hash ^ word) * kMultiplier;
        hash ^= hash >> 29;
    }
    for (; at < bytes.size(); ++at)
        hash = (hash ^ static_cast<unsigned char>(bytes[at])) * kMultiplier;
    return hash ^ (hash >> 32);
}

uint32_t crc(std::string_view bytes) {
    uLong value = crc32(0L, Z_NULL, 0);
    for (size_t at = 0; at < bytes.size(); at += kZlibPiece) {
        const size_t piece = std::min(kZlibPiece, bytes.size() - at);
        value = crc32(value, reinterpret_cast<const Bytef*>(bytes.data() + at),
                      static_cast<uInt>(piece));
    }
    return static_cast<uint32_t>(value);
}

std::string strongTag(std::string_view bytes, const char* suffix) {
    char tag[64];
    std::snprintf(tag, sizeof tag, "\"%zx-%08" PRIx32 "%016" PRIx64 "%s\"", bytes.size(),
                  crc(bytes), wordHash(bytes), suffix);
    return tag;
}

}  // namespace

GzipStream::~GzipStream() { finish(false); }

void GzipStream::finish(bool whole) {
    if (stream != nullptr) {
        deflateEnd(static_cast<z_stream*>(stream));
        delete static_cast<z_stream*>(stream);
        stream = nullptr;
    }
    if (whole) out.resize(written);
    else out.clear();
    running = false;
}

bool GzipStream::start(std::string text) {
    finish(false);
    text_ = std::move(text);
    fed = 0;
    written = 0;
    auto* z = new z_stream{};
    if (deflateInit2(z, kCompressionLevel, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        delete z;
        return false;
    }
    stream = z;
    // Room for what zlib may make of it; grown in the rare case it is not enough.
    out.resize(deflateBound(z, static_cast<uLong>(std::min(text_.size(), kZlibPiece))) +
               text_.size() / 1000 + 64);
    running = true;
    return true;
}

bool GzipStream::step(size_t sliceBytes) {
    if (!running) return true;
    z_stream& z = *static_cast<z_stream*>(stream);
    const size_t sliceEnd = fed + std::min(sliceBytes, text_.size() - fed);
    // Bounded: every round takes input or makes room for output, and the room
    // only grows past the bound zlib promised when it was not enough.
    for (int rounds = 0; rounds < 1 << 20; ++rounds) {
        if (z.avail_in == 0 && fed < sliceEnd) {
            const size_t piece = std::min(kZlibPiece, sliceEnd - fed);
            z.next_in = reinterpret_cast<Bytef*>(text_.data() + fed);
            z.avail_in = static_cast<uInt>(piece);
            fed += piece;
        }
        const bool last = fed == text_.size() && z.avail_in == 0;
        if (!last && z.avail_in == 0) return false;  // this slice is done
        if (written == out.size()) out.resize(out.size() * 2);
        const size_t room = std::min(kZlibPiece, out.size() - written);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + written);
        z.avail_out = static_cast<uInt>(room);
        const int result = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        written += room - z.avail_out;
        if (result == Z_STREAM_END) {
            finish(true);
            return true;
        }
        if (result != Z_OK && result != Z_BUF_ERROR) break;
    }
    finish(false);
    return true;
}

std::string gzipCompress(std::string_view text) {
    GzipStream stream;
    if (!stream.start(std::string(text))) return {};
    stream.step(text.size());
    return stream.takeGzip();
}

bool gzipDecompress(std::string_view data, std::string& out) {
    z_stream stream{};
    if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) return false;
    out.clear();
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(std::min(data.size(), kZlibPiece));
    char buffer[1 << 16];
    int result = Z_OK;
    while (result == Z_OK && out.size() <= kLongestInflated) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) break;
        out.append(buffer, sizeof buffer - stream.avail_out);
    }
    const bool whole = result == Z_STREAM_END && stream.avail_in == 0 && data.size() <= kZlibPiece;
    inflateEnd(&stream);
    return whole;
}

std::shared_ptr<const HttpDocument> prepareDocument(std::string body, const DocumentOptions& options) {
    std::string packed = options.compress ? gzipCompress(body) : std::string{};
    return prepareDocument(std::move(body), std::move(packed), options);
}

std::shared_ptr<const HttpDocument> prepareDocument(std::string body, std::string gzipBody,
                                                    const DocumentOptions& options) {
    auto document = std::make_shared<HttpDocument>();
    document->contentType = options.contentType;
    document->lastModified = options.lastModified;
    document->cacheControl = options.cacheControl;
    document->etag = strongTag(body, "");
    document->gzipBody = std::move(gzipBody);
    if (!document->gzipBody.empty()) document->gzipEtag = strongTag(document->gzipBody, "-gz");
    document->body = std::move(body);
    return document;
}

}  // namespace kelvaro

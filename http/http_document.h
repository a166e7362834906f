#pragma once
// A document the HTTP front serves: its bytes, prepared once by whoever owns
// the content and then shared, unchanged, by every response that sends it.
// Preparing costs what the bytes cost (a hash for the validator, a gzip copy
// when asked); serving one costs nothing that depends on its size, which is
// why every validator and the compressed copy are made here and never per
// request.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kelvaro {

struct HttpDocument {
    std::string contentType;   // sent as Content-Type
    std::string body;          // the identity representation
    std::string gzipBody;      // the gzip representation; empty when there is none
    std::string etag;          // strong validator of body, quoted ("...")
    std::string gzipEtag;      // strong validator of gzipBody, quoted; empty with no gzipBody
    int64_t lastModified = 0;  // Unix seconds; 0 sends no Last-Modified and never answers 304 by date
    std::string cacheControl;  // sent as Cache-Control when not empty
};

// What prepareDocument makes of a body.
struct DocumentOptions {
    std::string contentType;
    int64_t lastModified = 0;
    std::string cacheControl;
    bool compress = false;  // also make gzipBody (and Vary: Accept-Encoding is sent)
};

// Fills every field from body. The ETag is a hash of the bytes, so equal
// bodies get equal tags and any change gives a new one; the gzip copy gets
// its own tag, since its bytes differ. A body that does not compress (zlib
// failing, say) is served as identity only.
std::shared_ptr<const HttpDocument> prepareDocument(std::string body, const DocumentOptions& options);

// The same with a gzip copy already made (GzipStream): options.compress is
// ignored, and an empty gzipBody means identity only.
std::shared_ptr<const HttpDocument> prepareDocument(std::string body, std::string gzipBody,
                                                    const DocumentOptions& options);

// Compresses one text into a gzip member a slice at a time, so that a long
// document can be compressed across many turns of a loop that must not stall.
class GzipStream {
public:
    GzipStream() = default;
    ~GzipStream();
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;

    // Starts on text, dropping any member under way. False when zlib cannot
    // start; the stream then holds text and nothing compressed.
    bool start(std::string text);
    // Compresses up to sliceBytes more of the text; true once the member is
    // whole (or zlib failed, leaving gzip() empty). Nothing to do is done.
    bool step(size_t sliceBytes);
    bool busy() const { return running; }

    // The text and, once step() returned true, the member; both move out.
    std::string takeText() { return std::move(text_); }
    std::string takeGzip() { return std::move(out); }

private:
    void finish(bool whole);

    std::string text_;
    std::string out;
    size_t fed = 0;
    size_t written = 0;
    bool running = false;
    void* stream = nullptr;  // zlib's z_stream, owned
};

// The gzip member (RFC 1952) holding text, or empty when zlib fails.
std::string gzipCompress(std::string_view text);

// The bytes of a gzip member, or nothing (false) when data is not one whole,
// valid member. For tests and tools that check what was served.
bool gzipDecompress(std::string_view data, std::string& out);

}  // namespace kelvaro

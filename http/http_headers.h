#pragma once
// The request headers the front acts on, read the forgiving way a server
// must: anything it does not understand counts as absent, so a bad header
// can only cost the client a full response, never a wrong 304.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvaro {

// True when an Accept-Encoding value admits gzip: a "gzip" or "x-gzip" coding,
// or "*", whose q-value is not zero. Codings compare case-insensitively.
bool acceptsGzip(std::string_view acceptEncoding);

// True when an If-None-Match value names etag (quoted, as sent in ETag) or is
// "*". A weak tag (W/"...") matches its strong twin, as the weak comparison
// that If-None-Match uses asks.
bool noneMatchHolds(std::string_view ifNoneMatch, std::string_view etag);

// The IMF-fixdate of Unix seconds, "Sun, 06 Nov 1994 08:49:37 GMT".
std::string httpDate(int64_t unixSeconds);

// Unix seconds of an HTTP date in any of its three forms (IMF-fixdate, the
// obsolete RFC 850 and asctime forms); nothing when text is none of them.
std::optional<int64_t> parseHttpDate(std::string_view text);

}  // namespace kelvaro

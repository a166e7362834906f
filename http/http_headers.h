#pragma once
// The request headers the front acts on, read the forgiving way a server
// must: anything it does not understand counts as absent, so a bad header
// can only cost the client a full response, never a wrong 304.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvaro {

// True when the gzip copy is the one to send for an Accept-Encoding value.
// gzip's weight is that of its most specific entry: "gzip" or "x-gzip" if
// listed, else "*", else it is not acceptable; a weight of 0 refuses it. It is
// sent when acceptable unless "identity" is listed with a higher weight.
// When nothing is acceptable ("identity;q=0" with gzip refused, say), the
// identity copy is sent all the same rather than a 406: a list is worth more
// to a client than an error it can do nothing with. Codings compare
// case-insensitively; an entry whose weight is not a valid q-value (0 to 1,
// at most three decimals) is ignored.
bool prefersGzip(std::string_view acceptEncoding);

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

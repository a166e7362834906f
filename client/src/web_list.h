#pragma once
// Reads a directory's HTTP answer to GET /zones.json: the head (status line,
// Content-Length, no transfer or content coding), then the JSON document
//
//   {"generated":S,"count":N,"zones":[{"address":"1.2.3.4","port":P,...},...]}
//
// into web zones. The reader allocates nothing but the zones it hands back:
// texts are decoded straight into the entries' fixed fields, and members it
// does not know (any JSON value, nested at most kMostNesting deep) are
// checked and skipped without being kept. Anything that is not JSON, a known
// member given twice or with a value out of its range, a zone without its
// address or port, or a "count" that is not the number of zones, refuses the
// whole document: a garbled list never passes as a shorter one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelvaro.h"

namespace kelvaro::client {

// Arrays and objects inside one another, the document itself counting as 1.
constexpr int kMostNesting = 16;
// An answer's head, status line to blank line.
constexpr size_t kLongestHead = 16384;

// The most bytes an answer for maxZones zones may take (see kelvaro.h).
size_t webAnswerLimit(uint32_t maxZones);

// A dotted quad or IPv6 text into a zone entry's family, text and bytes
// (and, for IPv4, its integer form); brackets around IPv6 text with
// brackets. False for anything else, names included.
bool readAddress(std::string_view text, bool brackets, kelvaro_zone_entry& out);

// The request for the document, host being the entry read by readAddress.
std::string webRequest(const kelvaro_zone_entry& host, uint16_t port);

enum class HeadVerdict { Incomplete, Good, Malformed };

struct AnswerHead {
    int status = 0;
    size_t bodyStart = 0;       // bytes of the head, blank line included
    bool lengthKnown = false;   // a Content-Length came
    uint64_t contentLength = 0;
};

// The head of answer, once its blank line has come. Malformed: not an
// HTTP/1.x status line and header lines, no end within kLongestHead, a
// Transfer-Encoding, a Content-Encoding but identity, or a Content-Length
// that is not one number.
HeadVerdict readAnswerHead(std::string_view answer, AnswerHead& head);

// The document alone, its zones appended to out; on anything but KELVARO_OK
// out is as it was. KELVARO_ERR_TOO_MANY: more than maxZones zones.
kelvaro_status readZonesJson(std::string_view document, size_t maxZones,
                             std::vector<kelvaro_web_zone>& out);

// A whole answer as received (to the connection's end, or to its
// Content-Length): KELVARO_ERR_CLOSED when its head or its Content-Length's
// bytes did not all come, KELVARO_ERR_MALFORMED for more bytes than that,
// KELVARO_ERR_HTTP for a status but 200, KELVARO_ERR_TOO_MANY for an answer
// (or a Content-Length) past webAnswerLimit(maxZones), else what
// readZonesJson says.
kelvaro_status readWebAnswer(std::string_view answer, uint32_t maxZones,
                             std::vector<kelvaro_web_zone>& out);

}  // namespace kelvaro::client

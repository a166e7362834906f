#pragma once
// The HTTP front: a libmicrohttpd daemon in its external mode, run by the
// service loop and never by a thread of its own. It knows paths and the
// prepared documents published at them, nothing of what they say: the owner
// of the content builds each HttpDocument and publishes it here.
//
// Requests: GET and HEAD only (any other method gets 405 with Allow); a path
// without a document gets 404; no request body is ever read. A document is
// answered with its Content-Type, ETag, Last-Modified and Cache-Control; with
// its gzip copy (Content-Encoding: gzip) when the request accepts gzip, and
// Vary: Accept-Encoding whenever it has one; with 304 when If-None-Match names
// the representation's tag, or, without If-None-Match, when If-Modified-Since
// is not before its Last-Modified.
//
// Costs: a request never copies or walks a document (each has its responses
// made once, when published), so it costs the same at any size; run() never
// blocks. Connections beyond maxConnections in all or
// maxConnectionsPerAddress from one address are closed at once, and one that
// stays idle for timeoutSeconds is closed.
//
// Slow clients: a request must be whole within timeoutSeconds of the moment
// its connection could carry it (the connection's opening, or the end of the
// response before it), however steadily its bytes trickle in; the connection
// is closed otherwise. A response body over kSlowReadBodyBytes must be taken
// by the client at kSlowReadBytesPerSecond at least, measured over each
// timeoutSeconds, or its connection is closed.
//
// Memory: a response in flight holds the version of the document it started
// with. Of each path at most kOlderVersionsKept versions besides the current
// one are held: publishing another closes the connections still sending the
// oldest. So the bytes held are bounded by (kOlderVersionsKept + 1) times
// each path's largest document (body and gzip copy), whatever the number of
// slow readers.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/http_document.h"
#include "util/histogram.h"

struct MHD_Daemon;

namespace kelvaro {

constexpr size_t kSlowReadBodyBytes = 1u << 20;
constexpr uint64_t kSlowReadBytesPerSecond = 16u * 1024;
constexpr size_t kOlderVersionsKept = 2;

// The arguments of a request's query string, decoded, in the order sent.
using HttpArguments = std::vector<std::pair<std::string, std::string>>;

// Answers a path whose document depends on the query: returns the document
// (served with the same validators, 304 and gzip rules as a published one),
// or null with a one-line reason, sent as 400. Runs inside run(), on the
// caller's thread; it should hand back a document it keeps, not build one
// per request, since its cost is the request's.
using HttpQueryHandler =
    std::function<std::shared_ptr<const HttpDocument>(const HttpArguments&, std::string& reason)>;

struct HttpSettings {
    uint16_t port = 0;        // 0 in a test: any free port (see localPort())
    uint32_t address = 0;     // IPv4 to listen on, network order
    // Also listen on this IPv6 address (an IPv6-only socket, same port).
    bool listenV6 = false;
    std::array<uint8_t, 16> address6{};
    uint32_t timeoutSeconds = 10;  // 0: connections are never closed for idling or slowness
    uint32_t maxConnections = 64;
    uint32_t maxConnectionsPerAddress = 8;  // 0: no limit per address
};

class HttpFront {
public:
    HttpFront();
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Binds, listens and starts the daemon. False, with the reason (the
    // system's words for a failed bind, say) in reason, when it cannot; the
    // front then stays closed. Call once.
    bool open(const HttpSettings& settings, std::string& reason);
    bool isOpen() const { return daemon != nullptr; }
    uint16_t localPort() const { return port; }

    // The descriptors that turn readable when run() has work: the epoll set
    // of the IPv4 daemon, and of the IPv6 one. -1 while closed or without one.
    int descriptor() const;
    int descriptorV6() const;

    // Serves document at path (which starts with '/') from now on, in place of
    // any earlier one. A response already under way keeps sending the bytes
    // it started with; the old document is freed after its last response.
    void publish(const std::string& path, std::shared_ptr<const HttpDocument> document);

    // Answers path (without its query) through handler from now on; a
    // published document at the same path goes first.
    void route(const std::string& path, HttpQueryHandler handler);

    // Accepts, reads, answers, writes and closes whatever is ready, without
    // waiting for anything. Does nothing while closed.
    void run();

    // How long the caller may wait on descriptor() before run() is due even
    // without traffic (a connection's time-out, data already buffered), at
    // most limitMs.
    uint32_t waitLimitMs(uint32_t limitMs) const;

    // How long requests took, in seconds: from the request's headers read to
    // its response handed over whole (or the connection gone), whatever the
    // status. Raised by run() only.
    const Histogram& requestSeconds() const { return requestDurations; }

    // The responses made for one published document; opaque outside.
    struct Published;
    // What the front knows of one open connection; opaque outside.
    struct Tracked;

private:
    friend struct FrontAccess;
    const Published* find(const char* path) const;
    // Closes the connections past their deadlines; true when any was.
    bool closeLateConnections();
    void retire(const std::string& path, std::shared_ptr<const HttpDocument> document);

    MHD_Daemon* startDaemon(int listening, bool v6, const HttpSettings& settings);

    MHD_Daemon* daemon = nullptr;
    MHD_Daemon* daemon6 = nullptr;  // only with listenV6; shares everything else
    uint16_t port = 0;
    uint32_t timeoutSeconds = 0;
    // The open connections, at most maxConnections: each is owned here from
    // MHD's start notice to its close notice.
    std::vector<std::unique_ptr<Tracked>> connections;
    // Replaced documents that responses may still be sending, oldest first.
    struct Retired {
        std::string path;
        std::weak_ptr<const HttpDocument> document;
    };
    std::vector<Retired> retired;
    std::unique_ptr<Published> notFound;    // 404, for any path without a document
    std::unique_ptr<Published> notAllowed;  // 405, for any method but GET and HEAD
    // A handful of paths: a linear search is cheaper than hashing them.
    std::vector<std::unique_ptr<Published>> published;
    Histogram requestDurations = durationHistogram();
    std::vector<std::pair<std::string, HttpQueryHandler>> routes;
};

}  // namespace kelvaro

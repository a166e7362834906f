#include "http/http_front.h"

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "http/http_headers.h"

namespace kelvaro {

// A document's responses, made once: MHD counts the uses of a response, so
// one made here can answer any number of requests, and each holds a share of
// the document until MHD lets go of it.
struct HttpFront::Published {
    std::string path;
    MHD_Response* identity = nullptr;
    MHD_Response* gzip = nullptr;  // null when the document has no gzip copy
    MHD_Response* identityNotModified = nullptr;
    MHD_Response* gzipNotModified = nullptr;
    std::shared_ptr<const HttpDocument> document;

    Published() = default;
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;
    ~Published() {
        for (MHD_Response* response : {identity, gzip, identityNotModified, gzipNotModified})
            if (response != nullptr) MHD_destroy_response(response);
    }
};

using Clock = std::chrono::steady_clock;

// One open connection. MHD's own time-out restarts with every byte, so a
// client trickling a byte at a time would hold its connection for ever: the
// deadlines here do not move until the request is whole.
struct HttpFront::Tracked {
    MHD_Connection* connection = nullptr;
    int fd = -1;
    // When the request under way must be whole; max() while one is answered.
    Clock::time_point requestDue = Clock::time_point::max();
    // The document whose body the response under way sends (valid while set:
    // the response holds a share of it); null between responses.
    const HttpDocument* sending = nullptr;
    // A large body's read rate is checked once a window: the bytes the
    // client acknowledged since windowStart.
    bool watched = false;
    Clock::time_point windowStart;
    uint64_t ackedAtWindowStart = 0;
    bool closing = false;  // shut down; MHD closes it on its next run
};

namespace {

constexpr const char* kAllowed = "GET, HEAD";

// The bytes of this connection the client's side has acknowledged, which
// is what it has read give or take its receive buffer; nothing when the
// system does not say.
std::optional<uint64_t> bytesAcked(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return std::nullopt;
    return info.tcpi_bytes_acked;
}

// Ends a connection from outside MHD's calls, which have no way to close
// one: MHD sees the end of the stream on its next run, closes the socket and
// sends its close notice. The descriptor stays MHD's until then, so it cannot
// be reused under it. Lingering off, the close resets the connection: the
// bytes still queued for a slow reader are dropped with it, rather than
// trickled out by the system for minutes.
void shutDown(HttpFront::Tracked& tracked) {
    if (tracked.closing) return;
    tracked.closing = true;
    if (tracked.fd < 0) return;
    const linger abort{1, 0};
    setsockopt(tracked.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::shutdown(tracked.fd, SHUT_RDWR);
}

HttpFront::Tracked* trackedOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<HttpFront::Tracked*>(info->socket_context) : nullptr;
}

void releaseShare(void* share) { delete static_cast<std::shared_ptr<const HttpDocument>*>(share); }

// A response sending bytes that belong to document; the response holds a
// share of it, so the bytes live as long as the response does.
MHD_Response* bodyResponse(const std::shared_ptr<const HttpDocument>& document,
                           const std::string& bytes) {
    auto* share = new std::shared_ptr<const HttpDocument>(document);
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        bytes.size(), const_cast<char*>(bytes.data()), &releaseShare, share);
    if (response == nullptr) delete share;
    return response;
}

MHD_Response* emptyResponse() {
    return MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
}

// The validators and caching headers, which a 304 repeats (RFC 9110 15.4.5).
void addValidators(MHD_Response* response, const HttpDocument& document, bool gzip) {
    if (response == nullptr) return;
    const std::string& tag = gzip ? document.gzipEtag : document.etag;
    if (!tag.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_ETAG, tag.c_str());
    if (document.lastModified != 0)
        MHD_add_response_header(response, MHD_HTTP_HEADER_LAST_MODIFIED,
                                httpDate(document.lastModified).c_str());
    if (!document.cacheControl.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL,
                                document.cacheControl.c_str());
    if (!document.gzipBody.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, MHD_HTTP_HEADER_ACCEPT_ENCODING);
}

MHD_Response* fullResponse(const std::shared_ptr<const HttpDocument>& document, bool gzip) {
    MHD_Response* response = bodyResponse(document, gzip ? document->gzipBody : document->body);
    if (response == nullptr) return nullptr;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, document->contentType.c_str());
    if (gzip) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    addValidators(response, *document, gzip);
    return response;
}

std::unique_ptr<HttpFront::Published> publishedFor(const std::string& path,
                                                   std::shared_ptr<const HttpDocument> document) {
    auto entry = std::make_unique<HttpFront::Published>();
    entry->path = path;
    entry->identity = fullResponse(document, false);
    entry->identityNotModified = emptyResponse();
    addValidators(entry->identityNotModified, *document, false);
    if (!document->gzipBody.empty()) {
        entry->gzip = fullResponse(document, true);
        entry->gzipNotModified = emptyResponse();
        addValidators(entry->gzipNotModified, *document, true);
    }
    entry->document = std::move(document);
    return entry;
}

// Error pages carry no validators: there is nothing worth revalidating.
std::unique_ptr<HttpFront::Published> errorPage(const char* text) {
    auto document = std::make_shared<HttpDocument>();
    document->contentType = "text/plain; charset=utf-8";
    document->body = text;
    document->cacheControl = "no-store";
    return publishedFor({}, std::move(document));
}

const char* header(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

// 304 when the client already holds this representation: If-None-Match
// decides when present (RFC 9110 13.2.2), If-Modified-Since otherwise.
bool notModified(MHD_Connection* connection, const HttpDocument& document, bool gzip) {
    if (const char* tags = header(connection, MHD_HTTP_HEADER_IF_NONE_MATCH))
        return noneMatchHolds(tags, gzip ? document.gzipEtag : document.etag);
    const char* since = header(connection, MHD_HTTP_HEADER_IF_MODIFIED_SINCE);
    if (since == nullptr || document.lastModified == 0) return false;
    const std::optional<int64_t> sinceSeconds = parseHttpDate(since);
    return sinceSeconds && document.lastModified <= *sinceSeconds;
}

// A listening TCP socket on address (of its family), non-blocking; -1 with
// the reason, the family's name and where in it, when it cannot be had. An
// IPv6 one is IPv6-only, so IPv4 clients keep arriving on the IPv4 socket
// and its address choice.
int listenOn(const sockaddr* address, socklen_t size, const char* familyName,
             const std::string& where, std::string& reason) {
    const int socketFd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        reason = std::string("socket(") + familyName + ", SOCK_STREAM) error: " + std::strerror(errno);
        return -1;
    }
    // A restart must not wait for the old connections' TIME_WAIT to pass.
    const int on = 1;
    setsockopt(socketFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool six = address->sa_family == AF_INET6;
    if ((six && setsockopt(socketFd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        ::bind(socketFd, address, size) != 0 || ::listen(socketFd, SOMAXCONN) != 0) {
        reason = "bind(" + where + ") error: " + std::strerror(errno);
        ::close(socketFd);
        return -1;
    }
    return socketFd;
}

int listenSocket(const HttpSettings& settings, std::string& reason, uint16_t& boundPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(settings.port);
    address.sin_addr.s_addr = settings.address;
    const int socketFd = listenOn(reinterpret_cast<const sockaddr*>(&address), sizeof address,
                                  "AF_INET", std::to_string(settings.port), reason);
    if (socketFd < 0) return -1;
    socklen_t length = sizeof address;
    getsockname(socketFd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
    return socketFd;
}

// The IPv6 listener, on the port the IPv4 one took.
int listenSocket6(const HttpSettings& settings, uint16_t port, std::string& reason) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    std::memcpy(&address.sin6_addr, settings.address6.data(), settings.address6.size());
    return listenOn(reinterpret_cast<const sockaddr*>(&address), sizeof address, "AF_INET6",
                    "[::]:" + std::to_string(port), reason);
}

// The epoll descriptor a daemon in external mode is waited on by; -1 without one.
int epollDescriptor(MHD_Daemon* daemon) {
    if (daemon == nullptr) return -1;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    return info != nullptr ? info->epoll_fd : -1;
}

}  // namespace

struct FrontAccess {
    // The request's start rides in MHD's per-request pointer as a number, so
    // timing a request allocates nothing; it is never dereferenced. One is
    // added so that no start can read as "no state yet".
    static void* stampNow() {
        const auto since = std::chrono::steady_clock::now().time_since_epoch();
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
        return reinterpret_cast<void*>(static_cast<uintptr_t>(micros) + 1);
    }

    static Clock::time_point requestDue(const HttpFront& front) {
        return front.timeoutSeconds == 0 ? Clock::time_point::max()
                                         : Clock::now() + std::chrono::seconds(front.timeoutSeconds);
    }

    static void notifyConnection(void* front, MHD_Connection* connection, void** socketContext,
                                 MHD_ConnectionNotificationCode code) {
        HttpFront& self = *static_cast<HttpFront*>(front);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto tracked = std::make_unique<HttpFront::Tracked>();
            tracked->connection = connection;
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info != nullptr) tracked->fd = info->connect_fd;
            tracked->requestDue = requestDue(self);
            *socketContext = tracked.get();
            self.connections.push_back(std::move(tracked));
            return;
        }
        auto& list = self.connections;
        const auto found = std::find_if(list.begin(), list.end(), [&](const auto& tracked) {
            return tracked.get() == *socketContext;
        });
        if (found == list.end()) return;
        *found = std::move(list.back());
        list.pop_back();
        *socketContext = nullptr;
    }

    // A request is over (answered, or its connection gone): the next one on
    // the connection has its time from now.
    static void completed(void* front, MHD_Connection* connection, void** requestState,
                          MHD_RequestTerminationCode /*why*/) {
        if (*requestState != nullptr) {
            const uintptr_t start = reinterpret_cast<uintptr_t>(*requestState) - 1;
            const uintptr_t now = reinterpret_cast<uintptr_t>(stampNow()) - 1;
            const double seconds = now > start ? static_cast<double>(now - start) / 1e6 : 0.0;
            static_cast<HttpFront*>(front)->requestDurations.observe(seconds);
            *requestState = nullptr;
        }
        HttpFront::Tracked* tracked = trackedOf(connection);
        if (tracked == nullptr) return;
        tracked->sending = nullptr;
        tracked->watched = false;
        tracked->requestDue = requestDue(*static_cast<const HttpFront*>(front));
    }

    static MHD_Result queueBody(MHD_Connection* connection, const HttpFront::Published& entry,
                                bool gzip, bool head) {
        if (HttpFront::Tracked* tracked = trackedOf(connection)) {
            tracked->sending = entry.document.get();
            const size_t bytes = gzip ? entry.document->gzipBody.size() : entry.document->body.size();
            const std::optional<uint64_t> acked = bytesAcked(tracked->fd);
            tracked->watched = !head && bytes > kSlowReadBodyBytes && acked.has_value();
            tracked->windowStart = Clock::now();
            tracked->ackedAtWindowStart = acked.value_or(0);
        }
        return MHD_queue_response(connection, MHD_HTTP_OK, gzip ? entry.gzip : entry.identity);
    }

    static MHD_Result answer(void* front, MHD_Connection* connection, const char* url,
                             const char* method, const char* /*version*/,
                             const char* /*uploadData*/, size_t* /*uploadDataSize*/,
                             void** requestState) {
        const HttpFront& self = *static_cast<const HttpFront*>(front);
        const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
        const bool firstCall = *requestState == nullptr;
        if (firstCall) *requestState = stampNow();
        // The headers are in, and no body is ever read: the request is whole.
        if (HttpFront::Tracked* tracked = trackedOf(connection))
            tracked->requestDue = Clock::time_point::max();
        // Refused at once, before any body: MHD then closes the connection
        // after the answer without reading what the client meant to send.
        if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
            return MHD_queue_response(connection, MHD_HTTP_METHOD_NOT_ALLOWED,
                                      self.notAllowed->identity);
        // A GET or HEAD without a body is answered on MHD's second call, once
        // the request is complete, so that the connection can stay open for the
        // next one; one announcing a body is answered at once, the same way.
        const bool announcesBody = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH) != nullptr ||
                                   header(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
        if (firstCall && !announcesBody) return MHD_YES;
        const HttpFront::Published* entry = self.find(url);
        if (entry == nullptr) return answerRoute(self, connection, url, head);
        return answerDocument(connection, *entry, head);
    }

    // A routed document gets responses of its own, made for this request
    // and let go of at once: MHD holds them until they are sent.
    static MHD_Result answerRoute(const HttpFront& self, MHD_Connection* connection, const char* url,
                                  bool head) {
        const HttpQueryHandler* handler = nullptr;
        for (const auto& [path, routed] : self.routes)
            if (path == url) handler = &routed;
        if (handler == nullptr)
            return MHD_queue_response(connection, MHD_HTTP_NOT_FOUND, self.notFound->identity);
        HttpArguments arguments;
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collectArgument, &arguments);
        std::string reason;
        std::shared_ptr<const HttpDocument> document = (*handler)(arguments, reason);
        if (!document) {
            std::string line = reason.substr(0, reason.find('\n')) + "\n";
            std::unique_ptr<HttpFront::Published> refusal = errorPage(line.c_str());
            return MHD_queue_response(connection, MHD_HTTP_BAD_REQUEST, refusal->identity);
        }
        std::unique_ptr<HttpFront::Published> entry = publishedFor(url, std::move(document));
        return answerDocument(connection, *entry, head);
    }

    static MHD_Result collectArgument(void* arguments, MHD_ValueKind /*kind*/, const char* key,
                                      const char* value) {
        static_cast<HttpArguments*>(arguments)->emplace_back(key != nullptr ? key : "",
                                                             value != nullptr ? value : "");
        return MHD_YES;
    }

    static MHD_Result answerDocument(MHD_Connection* connection, const HttpFront::Published& published,
                                     bool head) {
        const HttpFront::Published* entry = &published;
        const char* encodings = header(connection, MHD_HTTP_HEADER_ACCEPT_ENCODING);
        const bool gzip = entry->gzip != nullptr && encodings != nullptr && prefersGzip(encodings);
        if (notModified(connection, *entry->document, gzip))
            return MHD_queue_response(connection, MHD_HTTP_NOT_MODIFIED,
                                      gzip ? entry->gzipNotModified : entry->identityNotModified);
        return queueBody(connection, *entry, gzip, head);
    }
};

HttpFront::HttpFront() = default;

HttpFront::~HttpFront() {
    // The daemon goes first: it drops its uses of the responses, which the
    // entries then free.
    if (daemon6 != nullptr) MHD_stop_daemon(daemon6);
    if (daemon != nullptr) MHD_stop_daemon(daemon);
}

// External mode on epoll: one descriptor for the caller's wait, whatever
// the number of connections; no thread of MHD's own.
MHD_Daemon* HttpFront::startDaemon(int listening, bool v6, const HttpSettings& settings) {
    return MHD_start_daemon(
        MHD_USE_EPOLL | (v6 ? MHD_USE_IPv6 : 0), 0, nullptr, nullptr, &FrontAccess::answer, this,
        MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listening),
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned int>(settings.maxConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned int>(settings.maxConnectionsPerAddress),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned int>(settings.timeoutSeconds),
        MHD_OPTION_NOTIFY_CONNECTION, &FrontAccess::notifyConnection, this,
        MHD_OPTION_NOTIFY_COMPLETED, &FrontAccess::completed, this, MHD_OPTION_END);
}

bool HttpFront::open(const HttpSettings& settings, std::string& reason) {
    if (daemon != nullptr) return true;
    notFound = errorPage("not found\n");
    notAllowed = errorPage("method not allowed\n");
    MHD_add_response_header(notAllowed->identity, MHD_HTTP_HEADER_ALLOW, kAllowed);
    timeoutSeconds = settings.timeoutSeconds;
    const int listening = listenSocket(settings, reason, port);
    if (listening < 0) return false;
    daemon = startDaemon(listening, false, settings);
    if (daemon == nullptr) {
        // MHD may or may not have closed the socket it was handed; leaving it
        // is a descriptor lost on a path that ends the program.
        reason = "the HTTP daemon did not start on port " + std::to_string(port);
        port = 0;
        return false;
    }
    if (!settings.listenV6) return true;
    const int listening6 = listenSocket6(settings, port, reason);
    if (listening6 >= 0) daemon6 = startDaemon(listening6, true, settings);
    if (daemon6 == nullptr) {
        if (listening6 >= 0) reason = "the HTTP daemon did not start on [::]:" + std::to_string(port);
        MHD_stop_daemon(daemon);
        daemon = nullptr;
        port = 0;
        return false;
    }
    return true;
}

int HttpFront::descriptorV6() const { return epollDescriptor(daemon6); }

int HttpFront::descriptor() const { return epollDescriptor(daemon); }

void HttpFront::publish(const std::string& path, std::shared_ptr<const HttpDocument> document) {
    if (!document) return;
    std::unique_ptr<Published> entry = publishedFor(path, std::move(document));
    for (std::unique_ptr<Published>& existing : published) {
        if (existing->path == path) {
            if (existing->document != entry->document) retire(path, existing->document);
            existing = std::move(entry);
            return;
        }
    }
    published.push_back(std::move(entry));
}

// A few paths, each with a few older versions: the walks here are short.
void HttpFront::retire(const std::string& path, std::shared_ptr<const HttpDocument> document) {
    std::erase_if(retired, [](const Retired& older) { return older.document.expired(); });
    retired.push_back({path, document});
    size_t held = 0;
    for (const Retired& older : retired) held += older.path == path ? 1 : 0;
    for (auto older = retired.begin(); held > kOlderVersionsKept && older != retired.end();) {
        if (older->path != path) {
            ++older;
            continue;
        }
        const std::shared_ptr<const HttpDocument> oldest = older->document.lock();
        for (const std::unique_ptr<Tracked>& tracked : connections)
            if (oldest && tracked->sending == oldest.get()) shutDown(*tracked);
        older = retired.erase(older);
        --held;
    }
}

void HttpFront::route(const std::string& path, HttpQueryHandler handler) {
    for (auto& [existing, routed] : routes) {
        if (existing == path) {
            routed = std::move(handler);
            return;
        }
    }
    routes.emplace_back(path, std::move(handler));
}

const HttpFront::Published* HttpFront::find(const char* path) const {
    for (const std::unique_ptr<Published>& entry : published)
        if (entry->path == path) return entry.get();
    return nullptr;
}

void HttpFront::run() {
    if (daemon == nullptr) return;
    MHD_run(daemon);
    if (daemon6 != nullptr) MHD_run(daemon6);
    // Those shut down are closed at once, their places free for others.
    if (closeLateConnections()) {
        MHD_run(daemon);
        if (daemon6 != nullptr) MHD_run(daemon6);
    }
}

bool HttpFront::closeLateConnections() {
    if (timeoutSeconds == 0) return false;
    const Clock::time_point now = Clock::now();
    const auto window = std::chrono::seconds(timeoutSeconds);
    bool closed = false;
    for (const std::unique_ptr<Tracked>& tracked : connections) {
        if (tracked->closing) continue;
        bool late = now >= tracked->requestDue;
        if (!late && tracked->watched && now - tracked->windowStart >= window) {
            const uint64_t acked = bytesAcked(tracked->fd).value_or(tracked->ackedAtWindowStart);
            late = acked - tracked->ackedAtWindowStart < kSlowReadBytesPerSecond * timeoutSeconds;
            tracked->windowStart = now;
            tracked->ackedAtWindowStart = acked;
        }
        if (late) {
            shutDown(*tracked);
            closed = true;
        }
    }
    return closed;
}

uint32_t HttpFront::waitLimitMs(uint32_t limitMs) const {
    MHD_UNSIGNED_LONG_LONG timeout = 0;
    if (daemon == nullptr) return limitMs;
    if (MHD_get_timeout(daemon, &timeout) == MHD_YES && timeout < limitMs)
        limitMs = static_cast<uint32_t>(timeout);
    if (daemon6 != nullptr && MHD_get_timeout(daemon6, &timeout) == MHD_YES && timeout < limitMs)
        limitMs = static_cast<uint32_t>(timeout);
    const Clock::time_point now = Clock::now();
    const auto window = std::chrono::seconds(timeoutSeconds);
    for (const std::unique_ptr<Tracked>& tracked : connections) {
        if (tracked->closing) continue;
        Clock::time_point due = tracked->requestDue;
        if (tracked->watched) due = std::min(due, tracked->windowStart + window);
        if (due == Clock::time_point::max()) continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
        limitMs = std::min<uint32_t>(limitMs, static_cast<uint32_t>(std::max<int64_t>(left, 0)));
    }
    return limitMs;
}

}  // namespace kelvaro

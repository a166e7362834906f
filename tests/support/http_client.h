#pragma once
// A small HTTP/1.1 client over a raw loopback TCP socket, for the tests and
// benchmarks of the HTTP front: it writes requests byte for byte as given and
// reads responses framed by Content-Length, so every header the server sent is
// there to check. Non-blocking throughout: each wait is bounded in time and
// calls a pump between reads, so a test can drive an in-process server on the
// same thread (pump = front.run()) or wait on a real one (pump = sleep).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include <chrono>
#include <thread>

namespace kelvaro::testing_support {

struct HttpResponse {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    bool has(const std::string& name) const { return headers.count(name) != 0; }
    std::string header(const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string{} : found->second;
    }
};

using Pump = std::function<void()>;

// Between reads when nothing needs running on this thread.
inline void napPump() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// Waits are timed on the steady clock, not the service's tick counter, so a
// test that holds the ticks still (ManualClock) still sees its waits end.
class Deadline {
public:
    explicit Deadline(uint32_t ms)
        : end(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    bool passed() const { return std::chrono::steady_clock::now() > end; }

private:
    std::chrono::steady_clock::time_point end;
};

class HttpConnection {
public:
    // Connects to 127.0.0.1:port, from sourceAddress (a dotted quad on the
    // loopback) when one is given. The connect itself completes in the
    // kernel's backlog, whether or not the server has accepted yet.
    explicit HttpConnection(uint16_t port, const char* sourceAddress = nullptr) {
        descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (descriptor < 0) return;
        const int on = 1;
        setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (sourceAddress != nullptr) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            inet_pton(AF_INET, sourceAddress, &source.sin_addr);
            if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
                close();
                return;
            }
        }
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
            close();
            return;
        }
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
    }
    ~HttpConnection() { close(); }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    bool connected() const { return descriptor >= 0; }

    // Writes all of text, pumping while the socket is full.
    bool sendRaw(const std::string& text, const Pump& pump = napPump, uint32_t timeoutMs = 5000) {
        size_t sent = 0;
        const Deadline deadline(timeoutMs);
        while (descriptor >= 0 && sent < text.size()) {
            const ssize_t wrote = ::send(descriptor, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (wrote > 0) {
                sent += static_cast<size_t>(wrote);
                continue;
            }
            if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
            if (deadline.passed()) return false;
            pump();
        }
        return sent == text.size();
    }

    // Sends "<method> <path> HTTP/1.1" with Host and the extra header lines
    // (each "Name: value\r\n") and reads the response.
    std::optional<HttpResponse> request(const std::string& method, const std::string& path,
                                        const std::string& extraHeaders = {},
                                        const Pump& pump = napPump, uint32_t timeoutMs = 5000) {
        const std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                 extraHeaders + "\r\n";
        if (!sendRaw(text, pump, timeoutMs)) return std::nullopt;
        return readResponse(method == "HEAD", pump, timeoutMs);
    }

    // One whole response: the head, then Content-Length bytes of body (none
    // for HEAD, 304 and 204). Nothing when it does not come in time.
    std::optional<HttpResponse> readResponse(bool head, const Pump& pump = napPump,
                                             uint32_t timeoutMs = 5000) {
        const Deadline deadline(timeoutMs);
        size_t headEnd = std::string::npos;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            if (!readSome() && (peerClosed || deadline.passed()))
                return std::nullopt;
            pump();
        }
        HttpResponse response;
        if (!parseHead(pending.substr(0, headEnd), response)) return std::nullopt;
        pending.erase(0, headEnd + 4);
        size_t length = 0;
        if (!head && response.status != 304 && response.status != 204)
            length = static_cast<size_t>(std::strtoull(response.header("content-length").c_str(), nullptr, 10));
        while (pending.size() < length) {
            if (!readSome() && (peerClosed || deadline.passed()))
                return std::nullopt;
            pump();
        }
        response.body = pending.substr(0, length);
        pending.erase(0, length);
        return response;
    }

    // True once the server has closed the connection (end of stream or a
    // reset), within timeoutMs. Bytes that arrive meanwhile are kept.
    bool waitClosed(uint32_t timeoutMs, const Pump& pump = napPump) {
        const Deadline deadline(timeoutMs);
        while (!peerClosed) {
            if (!readSome() && deadline.passed()) return false;
            if (!peerClosed) pump();
        }
        return true;
    }

    // Whatever arrived so far without a whole response being asked for.
    const std::string& received() {
        readSome();
        return pending;
    }

    void close() {
        if (descriptor >= 0) ::close(descriptor);
        descriptor = -1;
    }

private:
    // Reads what is there now; false when nothing was.
    bool readSome() {
        if (descriptor < 0 || peerClosed) return false;
        char buffer[65536];
        bool got = false;
        for (int reads = 0; reads < 256; ++reads) {
            const ssize_t n = ::recv(descriptor, buffer, sizeof buffer, 0);
            if (n > 0) {
                pending.append(buffer, static_cast<size_t>(n));
                got = true;
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                peerClosed = true;
            break;
        }
        return got;
    }

    static bool parseHead(const std::string& text, HttpResponse& response) {
        if (text.compare(0, 9, "HTTP/1.1 ") != 0 && text.compare(0, 9, "HTTP/1.0 ") != 0) return false;
        response.status = std::atoi(text.c_str() + 9);
        size_t at = text.find("\r\n");
        while (at != std::string::npos && at + 2 < text.size()) {
            const size_t next = text.find("\r\n", at + 2);
            const std::string line = text.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
            const size_t colon = line.find(':');
            if (colon == std::string::npos) return false;
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t valueStart = colon + 1;
            while (valueStart < line.size() && line[valueStart] == ' ') ++valueStart;
            // A repeated header would hide a fault: keep both, comma-joined.
            std::string& value = response.headers[name];
            value += (value.empty() ? "" : ", ") + line.substr(valueStart);
            at = next;
        }
        return response.status > 0;
    }

    int descriptor = -1;
    bool peerClosed = false;
    std::string pending;
};

}  // namespace kelvaro::testing_support

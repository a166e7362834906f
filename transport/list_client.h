#pragma once
// A raw client of the list exchange: a client-mode ConnectionManager
// of its own whose connections keep every server list (application message
// type 1) they receive. Each connection sends its list request once its key
// exchange is done, with the minimum population given to connect(). It keeps
// the lists as raw bytes, unchecked, for tests, benchmarks and the soak tool
// that look at the wire; games use the client library instead.

#include <cstdint>
#include <vector>

#include "transport/connection.h"
#include "transport/connection_manager.h"

namespace kelvaro {

class ListClient {
public:
    struct Received {
        const Connection* connection = nullptr;
        std::vector<uint8_t> bytes;
    };

    ListClient() : manager([this](ReceivedMessage& message) { record(message); }) {}
    ListClient(const ListClient&) = delete;
    ListClient& operator=(const ListClient&) = delete;

    // Opens a connection to address (network order):port and sends its first
    // key request; its list request will carry minimum. The connection is
    // owned by the manager and stays valid until a poll after it has closed.
    Connection* connect(uint32_t address, uint16_t port, uint32_t minimum = 0) {
        manager.connect(address, port);
        Connection* connection = manager.connections.tail()->element.get();
        // Set before any poll, so before the key response can arrive.
        connection->listMinimum = minimum;
        return connection;
    }

    void poll() { manager.poll(); }

    // The lists a connection has received so far, in order.
    std::vector<std::vector<uint8_t>> listsFor(const Connection* connection) const {
        std::vector<std::vector<uint8_t>> lists;
        for (const Received& list : received)
            if (list.connection == connection) lists.push_back(list.bytes);
        return lists;
    }

    void record(ReceivedMessage& message) {
        received.push_back(
            {message.connection, std::vector<uint8_t>(message.data, message.data + message.length)});
    }

    // Declared before the manager, which may hand it lists until it is gone.
    std::vector<Received> received;
    ConnectionManager manager;
};

}  // namespace kelvaro

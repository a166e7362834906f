// Writes the seed inputs of every fuzz target with the tests' own packet
// builders: make_corpus <corpus directory> (fuzz/corpus in the source tree).
// The output is checked in; run it again only when a layout changes.

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/tick_clock.h"
#include "service/web_front.h"
#include "util/ip_address.h"
#include "zones/zone_list.h"
#include "support/server_list_wire.h"
#include "support/zone_wire.h"
#include "transport/loopback_pair.h"

using namespace kelvaro;
using kelvaro::fuzzing::appendRecord;
namespace wire = kelvaro::testing_support;
using Bytes = std::vector<uint8_t>;

namespace {

std::string root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string directory = root + "/" + target;
    mkdir(directory.c_str(), 0755);
    const std::string path = directory + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

wire::ZoneUpdate zone(const std::string& name, uint16_t port, const std::string& password) {
    wire::ZoneUpdate update;
    update.port = port;
    update.population = 4;
    update.zoneFlag = 1;
    update.zoneWord = 7;
    update.name = name;
    update.password = password;
    update.description = "a zone";
    return update;
}

void updatePortSeeds() {
    Bytes script{0};  // no caps
    for (const Bytes& datagram :
         {wire::updateDatagram(zone("Alpha", 5000, "pw")), wire::updateDatagram(zone("Alpha", 5000, "bad")),
          wire::le32(0x01020304), Bytes{1, 2, 3}, wire::updateDatagram(zone("Bravo Two", 5002, "x"))}) {
        script.push_back(1);   // source
        script.push_back(10);  // a second later
        appendRecord(script, datagram);
    }
    write("update_port_fuzz", "announcements", script);

    Bytes capped{0x15};  // every cap at 1
    for (uint8_t i = 0; i < 4; ++i) {
        capped.push_back(i);
        capped.push_back(1);
        appendRecord(capped, wire::updateDatagram(zone("Zone " + std::to_string(i), 5000 + i, "pw")));
    }
    write("update_port_fuzz", "capped", capped);
}

void pingPortSeeds() {
    Bytes script;
    for (const Bytes& datagram : {wire::le32Pair(12, 0xFFFFF000u), wire::le32Pair(3, 0), wire::le32(1)}) {
        script.push_back(0x40);  // a sweep ping first, from the first zone's port + 1
        script.push_back(1);
        appendRecord(script, datagram);
    }
    script.push_back(0x21);  // re-pings, then a reply from another port
    script.push_back(50);
    appendRecord(script, wire::le32Pair(9, 0xFFFFF010u));
    write("ping_port_fuzz", "replies", script);
}

void serverListSeeds() {
    const uint32_t a = wire::kLoopback;
    write("server_list_fuzz", "two_zones",
          wire::serverList({{a, 5000, 3, 1, 7, "Alpha", "first"}, {a, 5002, 0, 0, 0, "Bravo Two", ""}}));
    std::vector<wire::ListedZone> many;
    for (uint16_t i = 0; i < 6; ++i)
        many.push_back({a + (static_cast<uint32_t>(i % 2) << 24), static_cast<uint16_t>(6000 + i), i, 0, i,
                        "Zone " + std::to_string(i), std::string(i * 10, 'd')});
    write("server_list_fuzz", "six_zones", wire::serverList(many));
    write("server_list_fuzz", "request", Bytes{1, 5, 0, 0, 0});
}

// Web answers: a bound byte, then the answer as the HTTP front sends it, the
// document made by the front's own writer.
void webListSeeds() {
    ManualClock clock(1000);
    ZoneList zones;
    const auto add = [&zones](const char* address, uint16_t port, const char* name,
                              const std::string& description, ZoneSource source) {
        IpAddress parsed;
        parseIpAddress(address, parsed);
        zones.addOrUpdate(parsed, port, 3, 1, 7, name, description, source);
    };
    add("10.0.0.1", 5000, "Alpha", "first", ZoneSource::Update);
    add("2001:db8::1", 5002, "Six", std::string("say \"hi\" \\ \x01\xe9"), ZoneSource::Update);
    add("10.0.0.2", 5004, "Both", "", ZoneSource::Update);
    add("::1", 5006, "Both", "", ZoneSource::Update);
    add("10.0.0.3", 5008, "Peer", std::string(255, 'd'), ZoneSource::Peer);
    clock.advance(4000);
    const std::string document = zonesJson(zones, clock.now(), 1700000000);
    write("web_list_fuzz", "document",
          text("\x07HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(document.size()) + "\r\n\r\n" + document));
    Bytes noLength{0};  // the smallest bound
    const Bytes answer = text(
        "HTTP/1.0 200 OK\n\n{\"generated\":1,\"count\":1,\"zones\":[{\"address\":\"::1\","
        "\"port\":1,\"name\":\"\\ud83d\\ude00\\u20ac\",\"x\":[{\"y\":[1.5e-3,-0,true,false,null]}]}]}");
    noLength.insert(noLength.end(), answer.begin(), answer.end());
    write("web_list_fuzz", "no_length", noLength);
    write("web_list_fuzz", "not_found", text("\x01HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
}

// Connection scripts: mode, options, chunk size byte, then op and record per step.
Bytes connectionScript(uint8_t mode, uint8_t options, const std::vector<std::pair<uint8_t, Bytes>>& steps) {
    Bytes script{mode, options, 248};
    for (const auto& [op, record] : steps) {
        script.push_back(op);
        appendRecord(script, record);
    }
    return script;
}

void connectionSeeds() {
    using testing::corePacket;
    using testing::le32;
    using testing::operator+;
    using Type = CorePacketType;
    constexpr uint8_t kReceive = 0, kTick = 2 | (4 << 2), kSend = 3 | (8 << 2);
    const Bytes listRequest{1, 0, 0, 0, 0};
    const Bytes reliableRequest = corePacket(Type::Reliable, le32(0)) + listRequest;
    const Bytes sync = corePacket(Type::SyncRequest, le32(100) + le32(1) + le32(1));

    write("connection_fuzz", "key_request",
          connectionScript(0, 0, {{kReceive, corePacket(Type::KeyRequest, le32(0xF0F0F0F0) + Bytes{1, 0})},
                                  {kReceive, corePacket(Type::Disconnect)}}));
    const Bytes cluster = corePacket(Type::Cluster, Bytes{static_cast<uint8_t>(reliableRequest.size())}) +
                          reliableRequest + Bytes{static_cast<uint8_t>(sync.size())} + sync;
    for (uint8_t options : {0x2, 0x3, 0x7}) {
        write("connection_fuzz", "listening_" + std::to_string(options),
              connectionScript(1, options,
                               {{kReceive, reliableRequest},
                                {kReceive, corePacket(Type::Ack, le32(0))},
                                {kReceive, sync},
                                {kTick, {}},
                                {kReceive, cluster},
                                {kReceive, corePacket(Type::Reliable, le32(2)) + corePacket(Type::ChunkBody, Bytes{1, 9})},
                                {kReceive, corePacket(Type::Reliable, le32(1)) + corePacket(Type::ChunkTail, Bytes{8, 7})},
                                {kReceive, corePacket(Type::StreamChunk, le32(3) + Bytes{1, 2, 3})},
                                {kSend, Bytes(40, 1)},
                                {kReceive, corePacket(Type::Disconnect)}}));
    }
    const Bytes serverList = wire::serverList({{wire::kLoopback, 5000, 3, 1, 7, "Alpha", "first"}});
    write("connection_fuzz", "client_waiting",
          connectionScript(2, 0x1, {{kReceive, corePacket(Type::SyncRequest, le32(7))},
                                    {kReceive, corePacket(Type::KeyResponse, le32(0) + Bytes{0})},
                                    {kTick, {}}}));
    write("connection_fuzz", "client",
          connectionScript(3, 0x3,
                           {{kReceive, corePacket(Type::SyncResponse, le32(0) + le32(5))},
                            {kReceive, corePacket(Type::Ack, le32(0))},
                            {kReceive, corePacket(Type::Reliable, le32(0)) + serverList},
                            {kTick, {}},
                            {kReceive, corePacket(Type::StreamChunk, le32(4) + Bytes{1, 2})},
                            {kReceive, corePacket(Type::StreamChunk, le32(4) + Bytes{3, 4})}}));
}

void settingsSeeds(const std::string& sourceRoot) {
    FILE* file = std::fopen((sourceRoot + "/docs/kelvaro.ini").c_str(), "rb");
    Bytes documented;
    if (file != nullptr) {
        for (int c; (c = std::fgetc(file)) != EOF && documented.size() < 100000;)
            documented.push_back(static_cast<uint8_t>(c));
        std::fclose(file);
    }
    write("settings_fuzz", "documented", documented);
    write("settings_fuzz", "odd",
          text("[Core]\nChunkSize=99999999999\nPacketSilenceLimit=-1\n[Zone]\nMaxZones=3\n"
               "[Directory]\nIP=127.0.0.1, 10.1 & 0x7f.1\nStatsFile=" + std::string(40, 's') + "\n"));
    write("settings_fuzz", "empty", {});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_corpus <corpus directory> <source directory>\n");
        return 2;
    }
    root = argv[1];
    mkdir(root.c_str(), 0755);
    updatePortSeeds();
    pingPortSeeds();
    serverListSeeds();
    connectionSeeds();
    settingsSeeds(argv[2]);
    webListSeeds();
    return 0;
}

#pragma once
// The 4 bytes of a ping when zones must prove their address: a keyed hash of
// the zone's address and port, the ping's round and its place in the round,
// under a secret the directory draws at start. A zone can only echo a token
// it received, so a reply proves that its sender reads the zone's address.
//
// A round is one sweep ping and its re-pings (or a new zone's first ping and
// its re-pings). Rounds are numbered by one counter shared by every zone, so
// a token is never given twice to a zone while the 32-bit count has not
// wrapped; a zone that is removed and announced again gets fresh tokens.

#include <cstdint>

#include "util/ip_address.h"
#include "util/keyed_hash.h"

namespace kelvaro {

struct ZoneRecord;

// Replies are matched against at most this many of the latest pings of a
// round: a reply late by more re-pings than this proves too little to keep a
// zone listed, and a huge DropLimit cannot make one reply cost more.
constexpr uint32_t kMaxTokensChecked = 4;

class PingTokens {
public:
    // firstRound: where round numbers start (any value; the server draws it
    // with the key, so round numbers do not tell how long it has run).
    PingTokens(const HashKey& secret, uint32_t firstRound) : key(secret), rounds(firstRound) {}

    // The number of a new round.
    uint32_t nextRound() { return rounds++; }

    // The token of ping number index (0 for the round's first) of round.
    uint32_t token(const IpAddress& address, uint16_t port, uint32_t round, uint32_t index) const;

    // The token of the ping just sent to zone: its round (pingRound) and
    // missedPings as the index.
    uint32_t tokenFor(const ZoneRecord& zone) const;

    // True when echo is the token of one of the pings sent to zone in its
    // current round (the latest kMaxTokensChecked of them).
    bool matches(const ZoneRecord& zone, uint32_t echo) const;

    // matches(), and on a match closes the round: zone.pingRound moves to a
    // round no ping was sent in, so neither this token nor any other of the
    // answered round counts again. Replayed replies are then refused however
    // often they come, and cannot keep a silent zone listed.
    bool redeem(ZoneRecord& zone, uint32_t echo);

private:
    HashKey key;
    uint32_t rounds;
};

}  // namespace kelvaro

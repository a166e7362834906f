// The directory server's use of the state file: what it puts back at start,
// and the pings that find out which of the zones put back are still there.

#include <chrono>
#include <cstdio>

#include "platform/tick_clock.h"
#include "service/directory_server.h"

namespace kelvaro {
namespace {

// A pending zone is decided after its first ping and DropLimit + 1 re-pings,
// InitialHighPing apart; this much more is allowed for the iterations between.
constexpr uint32_t kProofSlackMs = 1000;

}  // namespace

void DirectoryServer::openState() {
    if (settings_.StateFile.empty() || state) return;
    const std::string& path = settings_.StateFile;
    const auto began = std::chrono::steady_clock::now();
    StateOpenReport report;
    std::string reason;
    std::unique_ptr<StateStore> store = StateStore::open(path, report, reason);
    if (!report.renamedTo.empty())
        std::printf("Warning: [Directory] StateFile=%s is damaged (%s); kept aside as %s, starting "
                    "with an empty state\n",
                    path.c_str(), report.damage.c_str(), report.renamedTo.c_str());
    StateContents contents;
    if (store && !store->load(contents, reason)) store.reset();
    if (!store) {
        std::printf("Warning: [Directory] StateFile=%s cannot be used: %s; names and zones are kept "
                    "in memory only\n",
                    path.c_str(), reason.c_str());
        return;
    }
    const uint32_t clamped = clampStoredTimes(contents);
    if (clamped != 0)
        std::printf("Warning: [Directory] StateFile=%s holds %u times no directory writes; they "
                    "were brought into range\n",
                    path.c_str(), clamped);
    state = std::make_unique<StateKeeper>(std::move(store), passwords, zoneList, contents.clockMs);
    const uint32_t names = state->restoreNames(contents.names, settings_.zones().ReclaimDelay);
    // The rows as read would be read the same way at the next start.
    if (clamped != 0) state->writeAllNames();
    uint32_t listed = 0;
    uint32_t refused = 0;
    restoreZones(contents.zones, listed, refused);
    state->start();
    std::unique_ptr<HistoryReader> reader = HistoryReader::open(path, reason);
    if (!reader)
        std::printf("Warning: [Directory] StateFile=%s: the history cannot be read back (%s); "
                    "/history.json shows what this run keeps in memory\n",
                    path.c_str(), reason.c_str());
    else
        history_.useStore(state.get(), std::move(reader));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);
    if (report.created) {
        std::printf("State: %s: a new state file\n", path.c_str());
        return;
    }
    std::string line = "State: " + path + ": restored " + std::to_string(names) + " names and " +
                       std::to_string(listed) + " zones";
    if (!restoreQueue.empty())
        line += ", " + std::to_string(restoreQueue.size()) + " zones to prove their address again";
    line += " in " + std::to_string(took.count()) + " ms";
    const size_t namesRefused = contents.names.size() - names;
    if (namesRefused + refused + contents.badRows != 0)
        line += "; left out: " + std::to_string(namesRefused) + " names, " +
                std::to_string(refused) + " zones, " + std::to_string(contents.badRows) +
                " unreadable rows";
    std::printf("%s\n", line.c_str());
}

// Without VerifiedZones the zones are listed here and now; with it they are
// taken up a few at a time by runRestorePings, since each one is pinged as it
// is taken and a hundred thousand at once would flood the zones' network
// and the ping port's buffer.
void DirectoryServer::restoreZones(std::vector<StoredZone>& zones, uint32_t& listed,
                                   uint32_t& refused) {
    if (pending) {
        restoreQueue = std::move(zones);
        return;
    }
    zoneList.printAdds(false);
    restorePings.reserve(zones.size());
    for (const StoredZone& zone : zones) {
        const Admission admission =
            learnZone(zone.address, zone.port, zone.population, zone.flag, zone.word, zone.name,
                      zone.description, zone.fromPeer ? ZoneSource::Peer : ZoneSource::Update);
        if (admission == Admission::Listed) {
            restorePings.push_back(zoneKey(zone.address, zone.port));
            ++listed;
        } else {
            state->forgetZone(zone.address, zone.port);
            ++refused;
        }
    }
    zoneList.printAdds(true);
}

size_t DirectoryServer::restoresOwed() const {
    return (restorePings.size() - restorePingsSent) + (restoreQueue.size() - restoreQueueTaken);
}

// At most DatagramsPerIteration pings per iteration, as the sweep: the
// replies are read at that pace. A zone the sweep already pinged is passed
// over.
void DirectoryServer::runRestorePings() {
    const uint32_t budget = datagramsPerIteration();
    uint32_t sent = 0;
    while (sent < budget && restorePingsSent < restorePings.size()) {
        const ZoneKey key = restorePings[restorePingsSent++];
        ZoneRecord* zone = zoneList.find(zoneKeyAddress(key), zoneKeyPort(key));
        if (zone == nullptr || zone->awaitingReply) continue;
        startRound(*zone);
        sendPing(*zone);
        ++sent;
    }
    if (!restorePings.empty() && restorePingsSent == restorePings.size()) {
        restorePings = {};
        restorePingsSent = 0;
    }
    while (sent < budget && restoreQueueTaken < restoreQueue.size()) {
        const StoredZone& zone = restoreQueue[restoreQueueTaken++];
        const ZoneSource source = zone.fromPeer ? ZoneSource::Peer : ZoneSource::Update;
        // The zone was listed under its name before: its record's password
        // (put back with the names) lets it through again once proven.
        std::string_view password;
        if (const ZonePassword* owner = passwords.owner(zone.name); owner && !zone.fromPeer)
            password = owner->currentPassword();
        const Admission admission = admitLearned(zone.address, zone.port, zone.population,
                                                 zone.flag, zone.word, zone.name,
                                                 zone.description, source, password);
        if (admission == Admission::Pending) {
            restoreChecks.push_back({zoneKey(zone.address, zone.port), tickCount()});
            ++sent;
        } else if (admission != Admission::Listed && admission != Admission::Refreshed) {
            if (state) state->forgetZone(zone.address, zone.port);
        }
    }
    if (!restoreQueue.empty() && restoreQueueTaken == restoreQueue.size()) {
        restoreQueue = {};
        restoreQueueTaken = 0;
    }
    forgetUnprovenRestores();
}

// A zone put back that never proved its address goes from the file too; one
// still waiting (its re-pings held up while the server was busy) is looked
// at again later.
void DirectoryServer::forgetUnprovenRestores() {
    if (!pending) return;
    const ZoneSettings& zones = settings_.zones();
    const uint32_t decided = (zones.DropLimit + 2) * zones.InitialHighPing + kProofSlackMs;
    const uint32_t now = tickCount();
    const size_t looked = restoreChecks.size();
    for (size_t i = 0; i < looked && intervalPassed(now, restoreChecks.front().takenTick, decided);
         ++i) {
        const RestoreCheck check = restoreChecks.front();
        restoreChecks.pop_front();
        const IpAddress address = zoneKeyAddress(check.key);
        const uint16_t port = zoneKeyPort(check.key);
        if (zoneList.find(address, port) != nullptr) continue;
        if (pending->find(address, port) != nullptr) {
            restoreChecks.push_back({check.key, now});
            continue;
        }
        if (state) state->forgetZone(address, port);
    }
}

}  // namespace kelvaro

#pragma once
// What SIGHUP does to the settings: the file is read again the way start-up
// reads it, and every key whose value changed is either put in force at once
// or, when the running parts cannot take it (a listener already bound, a file
// already open), reported and left at its old value until the next start.
//
// The keys are a table, one row per key: the text of its value in the file's
// units, and the function that copies it from the settings read into the
// settings in force, or none when it needs a restart. A new key joins the
// table with its row; a key without a row is never changed by a reload.

#include <string>
#include <vector>

#include "service/server_settings.h"

namespace kelvaro {

struct ReloadKey {
    const char* section;
    const char* key;
    // The value as the report shows it (the file's units), for the diff.
    std::string (*text)(const ServerSettings& settings);
    // Copies the value (and anything derived from it) from read into
    // inForce; null: the key needs a restart.
    void (*apply)(ServerSettings& inForce, const ServerSettings& read);
};
const ReloadKey* reloadKeysBegin();
const ReloadKey* reloadKeysEnd();

struct ReloadOutcome {
    // current with every live change of read in force; what is to be handed
    // to the running parts. Equal to current when nothing live changed.
    ServerSettings inForce;
    // One line per changed key, in the table's order:
    //   "---Reload: <Section> <Key>: <old> -> <new>" for a key now in force,
    //   the same followed by ": needs a restart, <old> stays in force".
    // When read could not be read, a single line saying why and that nothing
    // changed.
    std::vector<std::string> lines;
    bool taken = false;    // read was readable and compared; false: nothing changed
    bool applied = false;  // at least one key was put in force
};

// The diff of current (in force) against read (the file as read again by
// load()/loadFile()). A file that was readable and now is not, or a file
// named on the command line (required) that is gone, changes nothing. The
// report's bookkeeping (iniStatus, notices, clamps) comes from read.
ReloadOutcome reloadSettings(const ServerSettings& current, const ServerSettings& read,
                             bool required);

}  // namespace kelvaro

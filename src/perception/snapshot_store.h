// SnapshotStore: the records of the last perception of a window, served to
// queries while they are current. The lock is never held across a
// cross-process or Python call. Stored records are immutable once stored: a
// reader's copy of the snapshot shares them instead of copying every string,
// and a patch replaces the one record it changes.
//
// What may change a window is counted per root (its top-level window):
// related windows share a root, so a change anywhere in a top-level window
// reaches whichever of its windows is held, and other top-level windows never
// disturb each other. A reading records its basis (the configuration epoch
// and its root's version) before it reads; a reconfiguration since then
// discards it, a change in its root since then makes it out of date.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "perception/record_map.h"
#include "platform/raii.h"

namespace Ostrand {

// The fields a property change can patch, as a reading's configuration
// fetched them.
enum PatchableField : uint32_t { kFieldName = 1, kFieldEnabled = 2, kFieldRect = 4 };

class SnapshotStore {
public:
    struct Basis {
        uint64_t epoch = 0;
        uint64_t version = 0;
    };
    // One whole reading of `window` and where it stands.
    struct Reading {
        HWND window = nullptr;
        HWND root = nullptr;  // window's top-level ancestor
        uint32_t fields = 0;  // PatchableField bits its configuration fetched
        bool patchable = false;  // its records are found by runtime id (a UI Automation reading)
        Basis basis;
    };
    enum class Commit {
        Current,    // stored, and nothing changed while it was read
        Stale,      // stored although a change overtook it: a newer reading is due
        HeldWins,   // the held snapshot of the window is current and newer: kept
        Overtaken,  // a change overtook it: not stored
        Discarded,  // the configuration changed while it was read: not stored
    };
    // A property change as a handler decoded it.
    struct PropertyChange {
        HWND root = nullptr;
        std::string key;        // empty: the sender has no runtime id
        PROPERTYID property = 0;
        bool known = false;     // a value of the property's own type
        bool sendersOwn = true;  // not a raw descendant's, handed on as the sender's
        WString text;
        bool flag = false;
    };

    SnapshotStore() { InitializeSRWLock(&lock); }
    SnapshotStore(const SnapshotStore&) = delete;
    SnapshotStore& operator=(const SnapshotStore&) = delete;

    // Valid, and no change noted since its reading began that it does not
    // show: the snapshot a query may be served.
    bool isCurrent();
    // Valid at all (current or a refresh on its way).
    bool isValid();
    // The records when the held snapshot is current and of `window` (a null
    // window takes whichever is held), read under one hold of the lock.
    bool copyRecordsIfCurrent(HWND window, std::vector<RecordPtr>& out);
    // The window of a valid snapshot that is out of date (null when none).
    HWND staleWindow();

    // A reconfiguration: the snapshot is no longer valid, and no reading
    // begun before this is stored.
    void invalidate();
    // A reading of `window` failed: a snapshot of that window, or one of its
    // root that waited for this reading, is no longer valid.
    void readingFailed(HWND window, HWND root);

    // What a reading of a window in `root` starts from.
    Basis basisOf(HWND root);
    // Stores the map's content as `reading` says, unless it is Discarded,
    // Overtaken or HeldWins (then the map is untouched). A refresher's
    // overtaken reading is stored out of date instead of being dropped. The
    // old records come back in `map`, for the caller to destroy outside the
    // lock.
    Commit commit(RecordMap& map, const Reading& reading, bool refresher);
    // Stores unconditionally, as current (tests and benchmarks).
    void replaceRecords(RecordMap& map, HWND window = nullptr);

    // A structure change in `root`: readings in flight are out of date, and
    // so is a held snapshot of that root.
    void structureChanged(HWND root);
    // A property change in `root`: patched into the held record when the
    // held reading fetched that field and the value says what it became;
    // otherwise, when the held snapshot may show it, that snapshot is out of
    // date. Returns the window to read again (null when none). Readings in
    // flight in that root are out of date either way.
    HWND propertyChanged(const PropertyChange& change);

    // The window whose snapshot is held (valid or not).
    HWND heldWindow();
    // The snapshot's records in the order the refresh found them; they stay
    // valid and unchanged whatever happens to the store afterwards.
    std::vector<RecordPtr> copyRecords();
    // The number of records, counted under the shared lock.
    size_t recordCount();

    // Roots remembered before the versions start again from a common floor.
    static constexpr size_t kMaxRoots = 4096;

private:
    // Caller holds the lock.
    uint64_t versionOf(HWND root) const;
    void bump(HWND root);

    RecordMap records;
    SRWLOCK lock;
    bool valid = false;
    bool current = false;
    HWND window = nullptr;  // whose snapshot `records` is
    HWND root = nullptr;    // that window's root
    uint32_t fields = 0;    // what its reading fetched
    bool patchable = false;
    uint64_t epoch = 0;
    // Versions come from one counter, so a root without an entry reads as
    // the floor: the counter when the map was last cleared. A cleared map
    // can thus only make a reading in flight out of date, never current.
    uint64_t counter = 0;
    uint64_t floor = 0;
    std::unordered_map<HWND, uint64_t> versions;
};

}  // namespace Ostrand

// SnapshotStore: the records of the last perception of a window, served to
// queries while valid. The lock is never held across a cross-process or
// Python call. Stored records are immutable once stored: a reader's copy of
// the snapshot shares them instead of copying every string, and an edit
// replaces the one record it changes.
//
// One order for everything that changes what the store should hold: every
// invalidation, change noted by an event, patch and replacement takes the
// next version. A refresh reads the version before it reads the window and
// commits only if the version is still that one, so a reading older than a
// change or a reconfiguration never replaces the newer state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "perception/record_map.h"
#include "platform/raii.h"

namespace Ostrand {

class SnapshotStore {
public:
    SnapshotStore() { InitializeSRWLock(&lock); }
    SnapshotStore(const SnapshotStore&) = delete;
    SnapshotStore& operator=(const SnapshotStore&) = delete;

    bool isValid();
    // Valid and holding the snapshot of `window`; a null window accepts
    // whatever window the snapshot belongs to.
    bool isValidFor(HWND window);
    // The snapshot's records when it is valid for `window` (as isValidFor),
    // read under one hold of the lock: never another window's.
    bool copyRecordsIfValidFor(HWND window, std::vector<RecordPtr>& out);
    void invalidate();
    // Invalidates only a snapshot of `window`: another window's stays true.
    void invalidateWindow(HWND window);
    // The version a refresh starts from (see commit).
    uint64_t version();
    // A change happened that the held records may not show (or that a
    // refresh in flight may have missed): a refresh begun before it must
    // not be stored.
    void noteChange();
    // Takes the map's content as the snapshot of `window`, read by the path
    // `mode`, and marks the store valid, if nothing changed since `since`
    // (a version); false, with the map untouched, otherwise. The old records
    // come back in `map`, so the caller destroys them outside the lock.
    bool commit(RecordMap& map, HWND window, int32_t mode, uint64_t since);
    // commit whatever the version.
    void replaceRecords(RecordMap& map, HWND window = nullptr);
    // The window whose snapshot is held (valid or not).
    HWND heldWindow();
    // Valid and holding the snapshot of `window` as read by the path `mode`.
    bool holdsValid(HWND window, int32_t mode);
    // The snapshot's records in the order the refresh found them; they stay valid and
    // unchanged whatever happens to the store afterwards.
    std::vector<RecordPtr> copyRecords();
    // The number of records, counted under the shared lock.
    size_t recordCount();

    // Runs `edit` on a copy of the record with this key and stores the copy,
    // under the exclusive lock; `valid` is left as it is. Returns whether the
    // key was found. Counts as a change either way: a refresh in flight may
    // have read the element before it changed.
    template <class F>
    bool editRecord(const std::string& key, F edit) {
        RecordPtr old;  // released after the lock
        SrwExclusive hold(lock);
        ++version_;
        const RecordPtr* found = records.find(key);
        if (!found) return false;
        auto changed = std::make_shared<ElementRecord>(**found);
        edit(*changed);
        return records.replace(key, std::move(changed), &old);
    }

private:
    RecordMap records;
    SRWLOCK lock;
    bool valid = false;
    HWND window = nullptr;  // whose snapshot `records` is
    int32_t mode = 0;       // the path that read it
    uint64_t version_ = 0;
};

}  // namespace Ostrand

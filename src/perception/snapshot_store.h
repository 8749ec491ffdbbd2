// SnapshotStore: the records of the last perception of a window, served to
// queries while valid. The lock is never held across a cross-process or
// Python call. Stored records are immutable once stored: a reader's copy of
// the snapshot shares them instead of copying every string, and an edit
// replaces the one record it changes.
#pragma once

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
    void invalidate();
    // Takes the map's content as the snapshot of `window` and marks the store
    // valid. The old records come back in `map`, so the caller destroys them
    // outside the lock.
    void replaceRecords(RecordMap& map, HWND window = nullptr);
    // The snapshot's records in the order the refresh found them; they stay valid and
    // unchanged whatever happens to the store afterwards.
    std::vector<RecordPtr> copyRecords();
    // The number of records, counted under the shared lock.
    size_t recordCount();

    // Runs `edit` on a copy of the record with this key and stores the copy,
    // under the exclusive lock; `valid` is left as it is. Returns whether the
    // key was found.
    template <class F>
    bool editRecord(const std::string& key, F edit) {
        RecordPtr old;  // released after the lock
        SrwExclusive hold(lock);
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
};

}  // namespace Ostrand

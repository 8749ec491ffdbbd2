// SnapshotStore: the records of the last perception of a window, served to
// queries while valid. Readers get copies; the lock is never held across a
// cross-process or Python call.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "perception/element_record.h"
#include "platform/raii.h"

namespace Ostrand {

using RecordMap = std::unordered_map<std::string, ElementRecord>;

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
    std::vector<ElementRecord> copyRecords();
    // The number of records, counted under the shared lock.
    size_t recordCount();

    // Runs `edit` on the record with this key under the exclusive lock;
    // `valid` is left as it is. Returns whether the key was found.
    template <class F>
    bool editRecord(const std::string& key, F edit) {
        SrwExclusive hold(lock);
        auto it = records.find(key);
        if (it == records.end()) return false;
        edit(it->second);
        return true;
    }

private:
    RecordMap records;
    SRWLOCK lock;
    bool valid = false;
    HWND window = nullptr;  // whose snapshot `records` is
};

}  // namespace Ostrand

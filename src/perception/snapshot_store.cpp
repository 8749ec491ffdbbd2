#include "perception/snapshot_store.h"

namespace Ostrand {

bool SnapshotStore::isValid() {
    SrwShared hold(lock);
    return valid;
}

bool SnapshotStore::isValidFor(HWND target) {
    SrwShared hold(lock);
    return valid && (!target || target == window);
}

void SnapshotStore::invalidate() {
    SrwExclusive hold(lock);
    valid = false;
}

void SnapshotStore::replaceRecords(RecordMap& map, HWND source) {
    SrwExclusive hold(lock);
    records.swap(map);
    window = source;
    valid = true;
}

std::vector<RecordPtr> SnapshotStore::copyRecords() {
    SrwShared hold(lock);
    return records.ordered();
}

size_t SnapshotStore::recordCount() {
    SrwShared hold(lock);
    return records.size();
}

}  // namespace Ostrand

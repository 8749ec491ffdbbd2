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

bool SnapshotStore::copyRecordsIfValidFor(HWND target, std::vector<RecordPtr>& out) {
    SrwShared hold(lock);
    if (!valid || (target && target != window)) return false;
    out = records.ordered();
    return true;
}

void SnapshotStore::invalidate() {
    SrwExclusive hold(lock);
    valid = false;
    ++version_;
}

void SnapshotStore::invalidateWindow(HWND target) {
    SrwExclusive hold(lock);
    ++version_;
    if (target == window) valid = false;
}

uint64_t SnapshotStore::version() {
    SrwShared hold(lock);
    return version_;
}

void SnapshotStore::noteChange() {
    SrwExclusive hold(lock);
    ++version_;
}

bool SnapshotStore::commit(RecordMap& map, HWND source, int32_t sourceMode, uint64_t since) {
    SrwExclusive hold(lock);
    if (version_ != since) return false;
    records.swap(map);
    window = source;
    mode = sourceMode;
    valid = true;
    ++version_;
    return true;
}

void SnapshotStore::replaceRecords(RecordMap& map, HWND source) {
    SrwExclusive hold(lock);
    records.swap(map);
    window = source;
    mode = 0;
    valid = true;
    ++version_;
}

HWND SnapshotStore::heldWindow() {
    SrwShared hold(lock);
    return window;
}

bool SnapshotStore::holdsValid(HWND target, int32_t targetMode) {
    SrwShared hold(lock);
    return valid && window == target && mode == targetMode;
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

#include "perception/snapshot_store.h"

#include <memory>

#include "perception/element_record.h"

namespace Ostrand {

namespace {

uint32_t fieldOf(PROPERTYID property) {
    switch (property) {
        case UIA_NamePropertyId: return kFieldName;
        case UIA_IsEnabledPropertyId: return kFieldEnabled;
        case UIA_BoundingRectanglePropertyId: return kFieldRect;
        default: return 0;
    }
}

}  // namespace

bool SnapshotStore::isCurrent() {
    SrwShared hold(lock);
    return valid && current;
}

bool SnapshotStore::isValid() {
    SrwShared hold(lock);
    return valid;
}

bool SnapshotStore::copyRecordsIfCurrent(HWND target, std::vector<RecordPtr>& out) {
    SrwShared hold(lock);
    if (!valid || !current || (target && target != window)) return false;
    out = records.ordered();
    return true;
}

HWND SnapshotStore::staleWindow() {
    SrwShared hold(lock);
    return valid && !current ? window : nullptr;
}

void SnapshotStore::invalidate() {
    SrwExclusive hold(lock);
    valid = false;
    ++epoch;
}

void SnapshotStore::readingFailed(HWND target, HWND targetRoot) {
    SrwExclusive hold(lock);
    // A stale snapshot of the root waited for this reading to replace it.
    if (target == window || (!current && targetRoot == root)) valid = false;
}

uint64_t SnapshotStore::versionOf(HWND of) const {
    auto it = versions.find(of);
    return it == versions.end() ? floor : it->second;
}

void SnapshotStore::bump(HWND of) {
    if (versions.size() >= kMaxRoots && !versions.count(of)) {
        versions.clear();
        floor = counter;
    }
    versions[of] = ++counter;
}

SnapshotStore::Basis SnapshotStore::basisOf(HWND of) {
    SrwShared hold(lock);
    return Basis{epoch, versionOf(of)};
}

SnapshotStore::Commit SnapshotStore::commit(RecordMap& map, const Reading& reading, bool refresher) {
    SrwExclusive hold(lock);
    if (reading.basis.epoch != epoch) return Commit::Discarded;
    const bool upToDate = versionOf(reading.root) == reading.basis.version;
    if (!upToDate) {
        // A query's reading is still one whole perception, for its caller.
        if (!refresher) return Commit::Overtaken;
        // Storing it would undo the patches made since it began.
        if (valid && current && window == reading.window) return Commit::HeldWins;
    }
    records.swap(map);
    window = reading.window;
    root = reading.root;
    fields = reading.fields;
    patchable = reading.patchable;
    valid = true;
    current = upToDate;
    return upToDate ? Commit::Current : Commit::Stale;
}

void SnapshotStore::replaceRecords(RecordMap& map, HWND source) {
    SrwExclusive hold(lock);
    records.swap(map);
    window = source;
    root = source;
    fields = kFieldName | kFieldEnabled | kFieldRect;
    patchable = true;
    valid = true;
    current = true;
}

void SnapshotStore::structureChanged(HWND of) {
    SrwExclusive hold(lock);
    bump(of);
    if (of == root) current = false;
}

HWND SnapshotStore::propertyChanged(const PropertyChange& change) {
    RecordPtr old;  // released after the lock
    SrwExclusive hold(lock);
    bump(change.root);
    if (!valid || change.root != root) return nullptr;
    auto readAgain = [this] {
        current = false;
        return window;
    };
    // Without an id nothing says what changed; a Win32 snapshot has no
    // record under a runtime id.
    if (change.key.empty() || !patchable) return readAgain();
    const uint32_t field = fieldOf(change.property);
    // Not fetched: a fresh reading shows the default as well.
    if (!(fields & field)) return nullptr;
    // A window's move moves what it holds, whichever element sent it.
    if (field == kFieldRect) return readAgain();
    const RecordPtr* found = records.find(change.key);
    if (!found) return nullptr;  // an element the snapshot does not hold
    if (!change.known) return readAgain();
    if (!change.sendersOwn) return nullptr;  // a raw descendant's, which no record shows
    auto patched = std::make_shared<ElementRecord>(**found);
    patched->updated_at = steadyClockNanos();
    if (field == kFieldName)
        patched->name = change.text;
    else
        patched->is_enabled = change.flag;
    records.replace(change.key, std::move(patched), &old);
    return nullptr;
}

HWND SnapshotStore::heldWindow() {
    SrwShared hold(lock);
    return window;
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

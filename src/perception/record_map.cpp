#include "perception/record_map.h"

#include <functional>

namespace Ostrand {

namespace {

// A power of two with room for `count` keys at most half full.
size_t slotCountFor(size_t count) {
    size_t n = 16;
    while (n < count * 2) n *= 2;
    return n;
}

// A slot: 0 when empty, else the record's index plus 1 in the low half and
// the key's hash in the high half, so that a probe passes over other keys
// without reading their records (at 100,000 records each read is a miss).
uint64_t slotValue(size_t index, uint32_t hash) { return (static_cast<uint64_t>(hash) << 32) | (index + 1); }

uint32_t hashOf(const std::string& key) {
    size_t h = std::hash<std::string>{}(key);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace

void RecordMap::reserve(size_t count) {
    records_.reserve(count);
    if (slots_.size() < slotCountFor(count)) {
        slots_.assign(slotCountFor(count), 0);
        for (size_t i = 0; i < records_.size(); ++i) {
            const std::string& key = records_[i]->runtime_id_key;
            slots_[slotOf(key, hashOf(key))] = slotValue(i, hashOf(key));
        }
    }
}

size_t RecordMap::slotOf(const std::string& key, uint32_t hash) const {
    size_t mask = slots_.size() - 1;
    size_t slot = hash & mask;
    for (;; slot = (slot + 1) & mask) {
        uint64_t v = slots_[slot];
        if (v == 0) return slot;
        if (static_cast<uint32_t>(v >> 32) == hash && records_[indexOf(v)]->runtime_id_key == key) return slot;
    }
}

void RecordMap::grow() { reserve(records_.size() * 2 + 1); }

void RecordMap::put(RecordPtr record) {
    if (slots_.size() < slotCountFor(records_.size() + 1)) grow();
    const uint32_t hash = hashOf(record->runtime_id_key);
    size_t slot = slotOf(record->runtime_id_key, hash);
    if (slots_[slot] != 0) {
        records_[indexOf(slots_[slot])] = std::move(record);
        return;
    }
    records_.push_back(std::move(record));
    slots_[slot] = slotValue(records_.size() - 1, hash);
}

const RecordPtr* RecordMap::find(const std::string& key) const {
    if (slots_.empty()) return nullptr;
    size_t slot = slotOf(key, hashOf(key));
    return slots_[slot] ? &records_[indexOf(slots_[slot])] : nullptr;
}

bool RecordMap::replace(const std::string& key, RecordPtr record, RecordPtr* old) {
    if (slots_.empty()) return false;
    size_t slot = slotOf(key, hashOf(key));
    if (!slots_[slot]) return false;
    RecordPtr& held = records_[indexOf(slots_[slot])];
    if (old) *old = std::move(held);
    held = std::move(record);
    return true;
}

void RecordMap::clear() {
    records_.clear();
    slots_.clear();
}

void RecordMap::swap(RecordMap& other) noexcept {
    records_.swap(other.records_);
    slots_.swap(other.slots_);
}

}  // namespace Ostrand

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

}  // namespace

void RecordMap::reserve(size_t count) {
    records_.reserve(count);
    if (slots_.size() < slotCountFor(count)) {
        slots_.assign(slotCountFor(count), 0);
        for (size_t i = 0; i < records_.size(); ++i)
            slots_[slotOf(records_[i]->runtime_id_key)] = static_cast<uint32_t>(i + 1);
    }
}

size_t RecordMap::slotOf(const std::string& key) const {
    size_t mask = slots_.size() - 1;
    size_t slot = std::hash<std::string>{}(key) & mask;
    while (slots_[slot] != 0 && records_[slots_[slot] - 1]->runtime_id_key != key) slot = (slot + 1) & mask;
    return slot;
}

void RecordMap::grow() { reserve(records_.size() * 2 + 1); }

void RecordMap::put(RecordPtr record) {
    if (slots_.size() < slotCountFor(records_.size() + 1)) grow();
    size_t slot = slotOf(record->runtime_id_key);
    if (slots_[slot] != 0) {
        records_[slots_[slot] - 1] = std::move(record);
        return;
    }
    records_.push_back(std::move(record));
    slots_[slot] = static_cast<uint32_t>(records_.size());
}

const RecordPtr* RecordMap::find(const std::string& key) const {
    if (slots_.empty()) return nullptr;
    size_t slot = slotOf(key);
    return slots_[slot] ? &records_[slots_[slot] - 1] : nullptr;
}

bool RecordMap::replace(const std::string& key, RecordPtr record, RecordPtr* old) {
    if (slots_.empty()) return false;
    size_t slot = slotOf(key);
    if (!slots_[slot]) return false;
    RecordPtr& held = records_[slots_[slot] - 1];
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

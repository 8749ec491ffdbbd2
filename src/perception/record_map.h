// RecordMap: the records of one snapshot, keyed by runtime_id_key, kept in
// the order the refresh found them (tree order). The records sit in one
// vector and the keys in a flat open-addressing index, so a snapshot of
// 100,000 elements costs no per-entry node and is walked and freed in the
// order it was built.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "perception/element_record.h"

namespace Ostrand {

// Stored records are immutable: readers share them, an edit replaces one.
using RecordPtr = std::shared_ptr<const ElementRecord>;

class RecordMap {
public:
    void reserve(size_t count);
    // Stores the record under its runtime_id_key. A record with the same key
    // is replaced, field by field, at the earlier record's place.
    void put(RecordPtr record);
    // The record with this key, or null.
    const RecordPtr* find(const std::string& key) const;
    // Replaces the record with this key; false when there is none.
    bool replace(const std::string& key, RecordPtr record, RecordPtr* old = nullptr);

    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    void clear();
    void swap(RecordMap& other) noexcept;
    const std::vector<RecordPtr>& ordered() const { return records_; }

private:
    // The key's slot, or the empty slot where it would go.
    size_t slotOf(const std::string& key, uint32_t hash) const;
    static size_t indexOf(uint64_t slot) { return static_cast<size_t>(static_cast<uint32_t>(slot)) - 1; }
    void grow();

    std::vector<RecordPtr> records_;
    std::vector<uint64_t> slots_;  // 0: empty, else the key's hash and the record's index plus 1
};

}  // namespace Ostrand

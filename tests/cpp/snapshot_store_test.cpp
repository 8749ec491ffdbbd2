// The snapshot store's four operations and the in-place edit.
#include <atomic>
#include <thread>
#include <vector>

#include "perception/snapshot_store.h"
#include "test_support.h"

using namespace Ostrand;

namespace {

ElementRecord record(const std::string& key, const char16_t* name) {
    ElementRecord r;
    r.runtime_id_key = key;
    r.name = name;
    return r;
}

RecordMap mapOf(std::initializer_list<ElementRecord> records) {
    RecordMap m;
    for (const auto& r : records) m.put(std::make_shared<const ElementRecord>(r));
    return m;
}

TEST(SnapshotStore, StartsInvalidAndEmpty) {
    SnapshotStore store;
    EXPECT_FALSE(store.isValid());
    EXPECT_TRUE(store.copyRecords().empty());
    EXPECT_EQ(store.recordCount(), 0u);
}

TEST(SnapshotStore, ReplaceSwapsWholeSnapshotsAndHandsBackTheOldOne) {
    SnapshotStore store;
    RecordMap first = mapOf({record("1,1", u"a"), record("1,2", u"b")});
    store.replaceRecords(first);
    EXPECT_TRUE(first.empty());
    EXPECT_TRUE(store.isValid());
    EXPECT_EQ(store.recordCount(), 2u);

    RecordMap second = mapOf({record("2,1", u"c")});
    store.replaceRecords(second);
    EXPECT_EQ(second.size(), 2u);  // the old records, for the caller to drop
    std::vector<RecordPtr> now = store.copyRecords();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0]->runtime_id_key, "2,1");
    EXPECT_EQ(now[0]->name, u"c");

    RecordMap none;
    store.replaceRecords(none);
    EXPECT_TRUE(store.isValid());
    EXPECT_TRUE(store.copyRecords().empty());
}

TEST(SnapshotStore, InvalidateKeepsRecordsUntilTheNextReplace) {
    SnapshotStore store;
    RecordMap m = mapOf({record("1", u"a")});
    store.replaceRecords(m);
    store.invalidate();
    EXPECT_FALSE(store.isValid());
    EXPECT_EQ(store.recordCount(), 1u);
    RecordMap n = mapOf({record("2", u"b")});
    store.replaceRecords(n);
    EXPECT_TRUE(store.isValid());
    ASSERT_EQ(store.copyRecords().size(), 1u);
    EXPECT_EQ(store.copyRecords()[0]->runtime_id_key, "2");
}

TEST(SnapshotStore, EditChangesOneRecordAndLeavesValidityAndEarlierCopies) {
    SnapshotStore store;
    RecordMap m = mapOf({record("1", u"a"), record("2", u"b")});
    store.replaceRecords(m);
    std::vector<RecordPtr> before = store.copyRecords();
    store.invalidate();
    EXPECT_TRUE(store.editRecord("2", [](ElementRecord& r) { r.name = u"renamed"; }));
    EXPECT_FALSE(store.editRecord("3", [](ElementRecord& r) { r.name = u"never"; }));
    EXPECT_FALSE(store.isValid());
    for (const auto& r : store.copyRecords()) EXPECT_EQ(r->name, r->runtime_id_key == "2" ? u"renamed" : u"a");
    // A reader's copy taken before the edit is not changed under it.
    for (const auto& r : before) EXPECT_EQ(r->name, r->runtime_id_key == "2" ? u"b" : u"a");
}

// Readers always see one whole snapshot, never a mix of two.
TEST(SnapshotStore, ReadersSeeWholeSnapshotsWhileWritersReplace) {
    SnapshotStore store;
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0}, reads{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            // Writers start once the readers run and go on until they have
            // read many times meanwhile: the two sides always overlap.
            while (reads.load() < 2) std::this_thread::yield();
            for (int round = 0; round < 100 || reads.load() < 400; ++round) {
                RecordMap m;
                std::u16string tag(1, static_cast<char16_t>(u'a' + (round + w) % 26));
                for (int i = 0; i < 20; ++i)
                    m.put(std::make_shared<const ElementRecord>(record(std::to_string(i), tag.c_str())));
                store.replaceRecords(m);
            }
        });
    for (int r = 0; r < 2; ++r)
        threads.emplace_back([&] {
            while (!stop.load()) {
                auto copy = store.copyRecords();
                reads.fetch_add(1);
                if (copy.empty()) continue;
                for (const auto& rec : copy)
                    if (rec->name != copy[0]->name) torn.fetch_add(1);
                if (copy.size() != 20) torn.fetch_add(1);
            }
        });
    threads[0].join();
    threads[1].join();
    stop.store(true);
    threads[2].join();
    threads[3].join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace

// The snapshot store's four operations and the in-place edit.
#include <atomic>
#include <functional>
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

// A name change of a held record patches it (a copy, so a reader's earlier
// copy stays as it was) only when the held reading fetched names.
TEST(SnapshotStore, PatchesReplaceOneRecordOnlyForFieldsTheReadingFetched) {
    SnapshotStore store;
    HWND w = reinterpret_cast<HWND>(0x10);
    RecordMap m = mapOf({record("1", u"a"), record("2", u"b")});
    SnapshotStore::Reading reading{w, w, kFieldEnabled, true, store.basisOf(w)};
    ASSERT_EQ(store.commit(m, reading, false), SnapshotStore::Commit::Current);
    std::vector<RecordPtr> before = store.copyRecords();
    SnapshotStore::PropertyChange rename{w, "2", UIA_NamePropertyId, true, true, u"renamed", false};
    EXPECT_EQ(store.propertyChanged(rename), nullptr);
    EXPECT_EQ(store.copyRecords()[1]->name, u"b");  // names were not fetched: the default stays

    reading.fields = kFieldName;
    reading.basis = store.basisOf(w);
    m = mapOf({record("1", u"a"), record("2", u"b")});
    store.commit(m, reading, false);
    before = store.copyRecords();
    EXPECT_EQ(store.propertyChanged(rename), nullptr);
    EXPECT_TRUE(store.isCurrent());
    for (const auto& r : store.copyRecords()) EXPECT_EQ(r->name, r->runtime_id_key == "2" ? u"renamed" : u"a");
    for (const auto& r : before) EXPECT_EQ(r->name, r->runtime_id_key == "2" ? u"b" : u"a");
    // A value of another type says only that the name changed: read again.
    SnapshotStore::PropertyChange unknown = rename;
    unknown.known = false;
    EXPECT_EQ(store.propertyChanged(unknown), w);
    EXPECT_FALSE(store.isCurrent());
    EXPECT_TRUE(store.isValid());
}

// What becomes of a reading, by what happened while it was read.
TEST(SnapshotStore, ACommitDependsOnWhatChangedWhileTheReadingWasMade) {
    using Commit = SnapshotStore::Commit;
    HWND a = reinterpret_cast<HWND>(0x10), child = reinterpret_cast<HWND>(0x12), b = reinterpret_cast<HWND>(0x20);
    struct Case {
        const char* what;
        HWND held;  // the current snapshot held before, in root a (null: none)
        std::function<void(SnapshotStore&)> meanwhile;
        bool refresher;
        Commit expected;
        bool current;  // the store afterwards
    } cases[] = {
        {"nothing", nullptr, [](SnapshotStore&) {}, false, Commit::Current, true},
        {"a change in another root", nullptr, [&](SnapshotStore& s) { s.structureChanged(b); }, false,
         Commit::Current, true},
        {"a structure change, for a query", nullptr, [&](SnapshotStore& s) { s.structureChanged(a); }, false,
         Commit::Overtaken, false},
        {"a structure change, for the refresher", nullptr, [&](SnapshotStore& s) { s.structureChanged(a); }, true,
         Commit::Stale, false},
        {"a patch of the held snapshot", child,
         [&](SnapshotStore& s) { s.propertyChanged({a, "1", UIA_NamePropertyId, true, true, u"n", false}); }, true,
         Commit::HeldWins, true},
        {"a change of a key not held", child,
         [&](SnapshotStore& s) { s.propertyChanged({a, "9", UIA_NamePropertyId, true, true, u"n", false}); }, true,
         Commit::HeldWins, true},
        {"a reconfiguration", nullptr, [](SnapshotStore& s) { s.invalidate(); }, true, Commit::Discarded, false},
    };
    for (const Case& c : cases) {
        SnapshotStore store;
        if (c.held) {
            RecordMap m = mapOf({record("1", u"a")});
            store.commit(m, {c.held, a, kFieldName, true, store.basisOf(a)}, false);
        }
        // The reading of `child` (in root a) begins, then something happens.
        SnapshotStore::Reading reading{c.held ? c.held : child, a, kFieldName, true, store.basisOf(a)};
        c.meanwhile(store);
        RecordMap m = mapOf({record("1", u"old")});
        EXPECT_EQ(store.commit(m, reading, c.refresher), c.expected) << c.what;
        EXPECT_EQ(store.isCurrent(), c.current) << c.what;
    }
}

// The versions start again from a common floor once too many roots were
// seen: a reading begun before can be made out of date by that, never
// current.
TEST(SnapshotStore, ForgettingRootsNeverMakesAnOvertakenReadingCurrent) {
    SnapshotStore store;
    HWND a = reinterpret_cast<HWND>(0x10);
    SnapshotStore::Reading reading{a, a, kFieldName, true, store.basisOf(a)};
    store.structureChanged(a);
    for (uintptr_t i = 1; i <= SnapshotStore::kMaxRoots + 1; ++i)
        store.structureChanged(reinterpret_cast<HWND>(0x100000 + 2 * i));
    RecordMap m = mapOf({record("1", u"a")});
    EXPECT_EQ(store.commit(m, reading, false), SnapshotStore::Commit::Overtaken);
    // A reading begun after the roots were forgotten is current again.
    reading.basis = store.basisOf(a);
    EXPECT_EQ(store.commit(m, reading, false), SnapshotStore::Commit::Current);
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

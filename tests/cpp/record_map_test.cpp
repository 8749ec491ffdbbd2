// The snapshot's record map: insertion order, replacement in place, lookup.
#include <gtest/gtest.h>

#include <string>

#include "perception/record_map.h"

using namespace Ostrand;

namespace {

RecordPtr rec(const std::string& key, const char16_t* name = u"") {
    auto r = std::make_shared<ElementRecord>();
    r->runtime_id_key = key;
    r->name = name;
    return r;
}

std::string keysOf(const RecordMap& m) {
    std::string out;
    for (const RecordPtr& r : m.ordered()) out += r->runtime_id_key + ";";
    return out;
}

TEST(RecordMap, KeepsTheOrderOfFirstArrivalAndTheValuesOfTheLast) {
    RecordMap m;
    EXPECT_EQ(m.find("1"), nullptr);
    EXPECT_FALSE(m.replace("1", rec("1")));
    m.put(rec("42,1", u"first"));
    m.put(rec("42,2"));
    m.put(rec("hwnd:10010"));
    m.put(rec("42,1", u"second"));
    EXPECT_EQ(keysOf(m), "42,1;42,2;hwnd:10010;");
    ASSERT_NE(m.find("42,1"), nullptr);
    EXPECT_EQ((*m.find("42,1"))->name, u"second");
    EXPECT_EQ(m.find("42"), nullptr);

    RecordPtr old;
    EXPECT_TRUE(m.replace("42,2", rec("42,2", u"edited"), &old));
    EXPECT_EQ(old->name, u"");
    EXPECT_EQ((*m.find("42,2"))->name, u"edited");
    EXPECT_EQ(keysOf(m), "42,1;42,2;hwnd:10010;");
}

TEST(RecordMap, GrowsPastItsReservationAndFindsEveryKey) {
    RecordMap m;
    m.reserve(3);
    for (int i = 0; i < 5000; ++i) m.put(rec("42," + std::to_string(i)));
    for (int i = 0; i < 5000; i += 2) m.put(rec("42," + std::to_string(i), u"again"));
    ASSERT_EQ(m.size(), 5000u);
    for (int i = 0; i < 5000; ++i) {
        const RecordPtr* r = m.find("42," + std::to_string(i));
        ASSERT_NE(r, nullptr) << i;
        EXPECT_EQ((*r)->name, i % 2 ? u"" : u"again");
        EXPECT_EQ(m.ordered()[i]->runtime_id_key, "42," + std::to_string(i));
    }
    EXPECT_EQ(m.find("42,5000"), nullptr);

    RecordMap other;
    other.put(rec("x"));
    m.swap(other);
    EXPECT_EQ(keysOf(m), "x;");
    EXPECT_EQ(other.size(), 5000u);
    m.clear();
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(m.find("x"), nullptr);
    m.put(rec("y"));
    EXPECT_EQ(keysOf(m), "y;");
}

}  // namespace

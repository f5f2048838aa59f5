#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/KeySlotTable.h"

namespace {

std::string keyOf(int n) { return "m" + std::to_string(n) + ":<(I)I>:<(null)>||Lbench/Wide;"; }

TEST(KeySlotTableTest, EachKeyHasOneSlotThatNeverMovesAsTheTableGrows) {
    KeySlotTable table;
    std::vector<KeySlot*> slots;
    for (int n = 0; n < 5000; ++n) {
        KeySlot* slot = table.place(keyOf(n));
        ASSERT_NE(slot, nullptr);
        ASSERT_EQ(slot->key, keyOf(n));
        slot->id = n + 1;
        slots.push_back(slot);
    }
    EXPECT_EQ(table.size(), 5000u);
    // Placed again, or found, after many growths: the same slot, its id kept.
    for (int n = 0; n < 5000; n += 7) {
        EXPECT_EQ(table.place(keyOf(n)), slots[n]);
        ASSERT_NE(table.find(keyOf(n)), nullptr);
        EXPECT_EQ(table.find(keyOf(n))->id, n + 1);
    }
    EXPECT_EQ(table.size(), 5000u);
    EXPECT_EQ(table.find(keyOf(5000)), nullptr);
    // Keys that differ only in their end, and the empty key.
    EXPECT_NE(table.place("run:<()V>:<(null)>"), table.place("run:<()V>:<(null)>||Lapp/A;"));
    EXPECT_EQ(table.find(""), nullptr);
    KeySlot* empty = table.place("");
    EXPECT_EQ(table.find(""), empty);
}

}  // namespace

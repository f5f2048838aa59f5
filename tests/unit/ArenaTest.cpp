#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "output/Arena.h"
#include "output/KeySlotTable.h"

namespace {

TEST(ArenaTest, PiecesAreAlignedApartAndKeptAcrossChunks) {
    Arena arena;
    std::vector<std::pair<char*, std::size_t>> pieces;
    // Far more than one chunk, in pieces of odd sizes and alignments.
    std::size_t total = 0;
    for (int n = 0; total < 3 * Arena::kChunkSize; ++n) {
        std::size_t size = 1 + static_cast<std::size_t>(n * 37 % 300);
        std::size_t align = std::size_t(1) << (n % 5);
        auto* piece = static_cast<char*>(arena.allocate(size, align));
        ASSERT_NE(piece, nullptr);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(piece) % align, 0u);
        std::memset(piece, 'a' + n % 26, size);
        pieces.emplace_back(piece, size);
        total += size;
    }
    EXPECT_EQ(arena.used(), total);
    // No piece was written over by a later one.
    for (std::size_t n = 0; n < pieces.size(); ++n) {
        const auto& [piece, size] = pieces[n];
        for (std::size_t i = 0; i < size; ++i) {
            ASSERT_EQ(piece[i], static_cast<char>('a' + n % 26)) << "piece " << n;
        }
    }
}

TEST(ArenaTest, CopiesTextsLargerThanAChunkAndEmptyOnes) {
    Arena arena;
    const char* small = arena.copy("first");
    std::string large(Arena::kChunkSize + 12345, 'x');
    large.back() = 'y';
    const char* copied = arena.copy(large);
    ASSERT_NE(copied, nullptr);
    EXPECT_EQ(std::string(copied, large.size()), large);
    // The chunk before goes on being used.
    const char* after = arena.copy("after");
    ASSERT_NE(small, nullptr);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(std::string(small, 5), "first");
    EXPECT_EQ(std::string(after, 5), "after");
    EXPECT_NE(arena.copy(""), nullptr);
}

// Tables take their arrays as zeroed blocks, small from the heap and large
// in chunks: every byte reads zero at first, and a block moved on keeps its
// memory (a table swapping in a larger array).
TEST(ArenaTest, ZeroedBlocksOfEverySizeReadZeroAndMoveWhole) {
    for (std::size_t size : {std::size_t(1), std::size_t(4096), ZeroedBlock::kChunkedFrom - 8,
                             ZeroedBlock::kChunkedFrom, Arena::kChunkSize + 24}) {
        SCOPED_TRACE(size);
        ZeroedBlock block(size);
        auto* bytes = static_cast<unsigned char*>(block.data());
        ASSERT_NE(bytes, nullptr);
        std::size_t nonZero = 0;
        for (std::size_t i = 0; i < size; ++i) nonZero += bytes[i] != 0;
        EXPECT_EQ(nonZero, 0u);
        std::memset(bytes, 0x5a, size);
        ZeroedBlock moved(std::move(block));
        EXPECT_EQ(block.data(), nullptr);
        EXPECT_EQ(moved.data(), bytes);
        ZeroedBlock other(64);
        other = std::move(moved);
        EXPECT_EQ(other.data(), bytes);
        EXPECT_EQ(bytes[0], 0x5a);
        EXPECT_EQ(bytes[size - 1], 0x5a);
    }
}

TEST(ArenaTest, KeysOfManyChunksKeepTheirTextsAndSlots) {
    KeySlotTable table;
    std::vector<KeySlot*> slots;
    std::string tail(120, 'z');
    auto keyOf = [&](int n) { return "m" + std::to_string(n) + ":<(I)I>:<" + tail + ">"; };
    // About four chunks of keys.
    for (int n = 0; n < 60000; ++n) slots.push_back(table.place(keyOf(n)));
    for (int n = 0; n < 60000; ++n) {
        ASSERT_EQ(slots[n]->key, keyOf(n));
        ASSERT_EQ(table.find(keyOf(n)), slots[n]);
    }
}

}  // namespace

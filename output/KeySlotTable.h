// The method keys met so far, each with its slot in the method legend.
// Open addressing over the keys' hashes: a key met for the first time is
// told apart from the others by the hash array alone, without reading their
// texts (a new method's first event makes one such lookup). The keys and
// their slots sit in an arena of the table's own. Not locked: the caller
// serialises its calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "output/Arena.h"

// A method key's place in the method legend, shared by every method with
// that key. `id` is 0 until the key is recorded; it is set with the agent
// lock held and may be read without it.
struct KeySlot {
    std::string_view key;  // the table's own copy of the key
    std::atomic<int32_t> id{0};
};

class KeySlotTable {
public:
    KeySlotTable();
    ~KeySlotTable();
    KeySlotTable(const KeySlotTable&) = delete;
    KeySlotTable& operator=(const KeySlotTable&) = delete;

    // The slot of `key`, made when the key is new. Slots never move. Throws
    // std::bad_alloc when there is no memory for a new one.
    KeySlot* place(std::string_view key);
    // The slot of `key`, or null when it was never placed.
    const KeySlot* find(std::string_view key) const;
    std::size_t size() const { return size_; }

private:
    // All zero bytes: an empty probe (the arrays start zeroed).
    struct Probe {
        std::size_t hash;
        KeySlot* slot;  // null: an empty probe
    };
    std::size_t indexOf(std::string_view key, std::size_t hash) const;
    void grow();

    ZeroedBlock block_;
    Probe* probes_ = nullptr;  // `capacity_` long, a power of two, at most half full
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    Arena arena_;
};

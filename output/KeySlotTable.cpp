#include "output/KeySlotTable.h"

#include <functional>
#include <new>
#include <type_traits>

namespace {
constexpr std::size_t kFirstCapacity = 1024;
}  // namespace

KeySlotTable::KeySlotTable() : block_(kFirstCapacity * sizeof(Probe)) {
    static_assert(std::is_trivial<Probe>::value, "probes are used as zeroed memory");
    if (block_.data() == nullptr) throw std::bad_alloc();
    probes_ = static_cast<Probe*>(block_.data());
    capacity_ = kFirstCapacity;
}

KeySlotTable::~KeySlotTable() = default;

std::size_t KeySlotTable::indexOf(std::string_view key, std::size_t hash) const {
    std::size_t mask = capacity_ - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Probe& probe = probes_[i];
        if (probe.slot == nullptr || (probe.hash == hash && probe.slot->key == key)) return i;
    }
}

void KeySlotTable::grow() {
    std::size_t capacity = capacity_ * 2;
    ZeroedBlock block(capacity * sizeof(Probe));
    if (block.data() == nullptr) throw std::bad_alloc();
    auto* larger = static_cast<Probe*>(block.data());
    std::size_t mask = capacity - 1;
    for (std::size_t from = 0; from < capacity_; ++from) {
        const Probe& probe = probes_[from];
        if (probe.slot == nullptr) continue;
        std::size_t i = probe.hash & mask;
        while (larger[i].slot != nullptr) i = (i + 1) & mask;
        larger[i] = probe;
    }
    block_ = std::move(block);
    probes_ = larger;
    capacity_ = capacity;
}

KeySlot* KeySlotTable::place(std::string_view key) {
    std::size_t hash = std::hash<std::string_view>()(key);
    std::size_t i = indexOf(key, hash);
    if (probes_[i].slot != nullptr) return probes_[i].slot;
    if ((size_ + 1) * 2 > capacity_) {
        grow();
        i = indexOf(key, hash);
    }
    void* memory = arena_.allocate(sizeof(KeySlot), alignof(KeySlot));
    const char* text = memory != nullptr ? arena_.copy(key) : nullptr;
    if (text == nullptr) throw std::bad_alloc();
    auto* slot = new (memory) KeySlot;
    slot->key = std::string_view(text, key.size());
    probes_[i] = Probe{hash, slot};
    ++size_;
    return slot;
}

const KeySlot* KeySlotTable::find(std::string_view key) const {
    const Probe& probe = probes_[indexOf(key, std::hash<std::string_view>()(key))];
    return probe.slot;
}

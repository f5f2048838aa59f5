#include "output/KeySlotTable.h"

#include <functional>
#include <new>

KeySlotTable::KeySlotTable() : probes_(1024) {}

KeySlotTable::~KeySlotTable() = default;

std::size_t KeySlotTable::indexOf(std::string_view key, std::size_t hash) const {
    std::size_t mask = probes_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Probe& probe = probes_[i];
        if (probe.slot == nullptr || (probe.hash == hash && probe.slot->key == key)) return i;
    }
}

void KeySlotTable::grow() {
    std::vector<Probe> larger(probes_.size() * 2);
    std::size_t mask = larger.size() - 1;
    for (const Probe& probe : probes_) {
        if (probe.slot == nullptr) continue;
        std::size_t i = probe.hash & mask;
        while (larger[i].slot != nullptr) i = (i + 1) & mask;
        larger[i] = probe;
    }
    probes_.swap(larger);
}

KeySlot* KeySlotTable::place(std::string_view key) {
    std::size_t hash = std::hash<std::string_view>()(key);
    std::size_t i = indexOf(key, hash);
    if (probes_[i].slot != nullptr) return probes_[i].slot;
    if ((size_ + 1) * 2 > probes_.size()) {
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

#include "output/KeySlotTable.h"

#include <functional>
#include <utility>

struct KeySlotTable::Entry {
    std::string key;
    KeySlot slot;
};

KeySlotTable::KeySlotTable() : probes_(1024) {}

KeySlotTable::~KeySlotTable() = default;

std::size_t KeySlotTable::indexOf(const std::string& key, std::size_t hash) const {
    std::size_t mask = probes_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Probe& probe = probes_[i];
        if (probe.entry == nullptr || (probe.hash == hash && probe.entry->key == key)) return i;
    }
}

void KeySlotTable::grow() {
    std::vector<Probe> larger(probes_.size() * 2);
    std::size_t mask = larger.size() - 1;
    for (const Probe& probe : probes_) {
        if (probe.entry == nullptr) continue;
        std::size_t i = probe.hash & mask;
        while (larger[i].entry != nullptr) i = (i + 1) & mask;
        larger[i] = probe;
    }
    probes_.swap(larger);
}

KeySlot* KeySlotTable::place(std::string key) {
    std::size_t hash = std::hash<std::string>()(key);
    std::size_t i = indexOf(key, hash);
    if (probes_[i].entry != nullptr) return &probes_[i].entry->slot;
    if ((entries_.size() + 1) * 2 > probes_.size()) {
        grow();
        i = indexOf(key, hash);
    }
    entries_.push_back(std::make_unique<Entry>());
    Entry* entry = entries_.back().get();
    entry->key = std::move(key);
    entry->slot.key = &entry->key;
    probes_[i] = Probe{hash, entry};
    return &entry->slot;
}

const KeySlot* KeySlotTable::find(const std::string& key) const {
    const Probe& probe = probes_[indexOf(key, std::hash<std::string>()(key))];
    return probe.entry != nullptr ? &probe.entry->slot : nullptr;
}

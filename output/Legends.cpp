#include "output/Legends.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "agent/AgentState.h"

namespace {

void writeLegendFile(const char* fileName, StringList& legend, int32_t nextId) {
    FILE* out = std::fopen(fileName, "w");
    if (out == nullptr) {
        std::fprintf(stderr, "[ERROR] Kelmora: cannot create %s: %s\n", fileName,
                     std::strerror(errno));
    } else {
        int32_t count = std::min<int64_t>(nextId - 1, static_cast<int64_t>(legend.size()));
        for (int32_t n = 1; n <= count; ++n) {
            std::string id = makeId(n);
            const std::string& entry = legend.at(static_cast<std::size_t>(n - 1));
            std::fwrite(id.data(), 1, id.size(), out);
            std::fputs(" == ", out);
            std::fwrite(entry.data(), 1, entry.size(), out);
            std::fputc('\n', out);
        }
        if (std::fclose(out) != 0) {
            std::fprintf(stderr, "[ERROR] Kelmora: cannot write %s: %s\n", fileName,
                         std::strerror(errno));
        }
    }
    legend.clear();
}

}  // namespace

std::string makeId(int64_t number) {
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    if (number <= 0) return "0";
    std::string id;
    for (; number > 0; number /= 36) id.push_back(digits[number % 36]);
    std::reverse(id.begin(), id.end());
    return id;
}

void methodKey(std::string& buffer, const char* name, const char* signature, const char* generic,
               bool isStatic, const char* classSignature) {
    buffer.assign(shownText(name));
    buffer.append(":<").append(shownText(signature));
    buffer.append(">:<").append(shownText(generic)).append(">");
    if (isStatic) buffer.append("||").append(shownText(classSignature));
}

KeySlot* methodKeySlot(const std::string& key) {
    AgentState* state = agentState;
    std::lock_guard<std::mutex> guard(state->keySlotsLock);
    auto placed = state->keySlots.try_emplace(key);
    KeySlot& slot = placed.first->second;
    if (placed.second) slot.key = key;
    return &slot;
}

bool recordKeySlot(KeySlot& slot) {
    if (slot.id != 0) return false;
    slot.id = appendMethodLegend(slot.key);
    return true;
}

bool recordMethodKey(const std::string& key) { return recordKeySlot(*methodKeySlot(key)); }

void appendObjectLegend(std::string entry) {
    AgentState* state = agentState;
    state->objectLegend.append(std::move(entry));
    ++state->nextObjectId;
}

int32_t appendMethodLegend(const std::string& key) {
    AgentState* state = agentState;
    state->methodLegend.append(key);
    return state->nextMethodId++;
}

int32_t methodIdOf(const std::string& key) {
    AgentState* state = agentState;
    std::lock_guard<std::mutex> guard(state->keySlotsLock);
    auto found = state->keySlots.find(key);
    return found != state->keySlots.end() ? found->second.id : 0;
}

void writeLegends() {
    AgentState* state = agentState;
    if (state == nullptr) return;
    writeLegendFile("ObjectLegend.txt", state->objectLegend, state->nextObjectId);
    writeLegendFile("MethodLegend.txt", state->methodLegend, state->nextMethodId);
}

#include "output/Legends.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "agent/AgentState.h"
#include "output/TextFile.h"
#include "platform/Paths.h"

namespace {

constexpr const char* kObjectLegendName = "ObjectLegend.txt";
constexpr const char* kMethodLegendName = "MethodLegend.txt";

void writeEntry(TextFile& file, int32_t id, std::string_view entry) {
    file.write(makeId(id));
    file.write(" == ");
    file.write(entry);
    file.endLine();
}

std::unique_ptr<TextFile> createLegendFile(const std::string& path, const char* consequence) {
    std::string reason;
    std::unique_ptr<TextFile> file = TextFile::create(path, TextFile::kLegendStep, reason);
    if (file == nullptr) {
        std::fprintf(stderr, "[ERROR] Kelmora: cannot create %s (%s); %s\n", path.c_str(),
                     reason.c_str(), consequence);
        std::fflush(stderr);
    }
    return file;
}

// The whole legend, by its bare name: into the working directory of now.
template <typename List>
void writeLegendFile(const char* fileName, const List& legend, int32_t nextId) {
    std::unique_ptr<TextFile> out = createLegendFile(fileName, "it is not written.");
    if (out == nullptr) return;
    int32_t count = std::min<int64_t>(nextId - 1, static_cast<int64_t>(legend.size()));
    for (int32_t n = 1; n <= count; ++n) {
        writeEntry(*out, n, legend.at(static_cast<std::size_t>(n - 1)));
    }
}

template <typename List>
void finishLegend(std::unique_ptr<TextFile>& streamed, const char* fileName, List& legend,
                  int32_t nextId, bool directoryChanged) {
    bool complete = streamed != nullptr;
    // Closing cuts the file to its entries: as if written in one pass now.
    streamed.reset();
    if (!complete || directoryChanged) writeLegendFile(fileName, legend, nextId);
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

KeySlot* methodKeySlot(std::string_view key) {
    AgentState* state = agentState;
    std::lock_guard<std::mutex> guard(state->keySlotsLock);
    return state->keySlots.place(key);
}

bool recordKeySlot(KeySlot& slot) { return KeyRecording(slot).added(); }

KeyRecording::KeyRecording(KeySlot& slot)
    : slot_(slot),
      id_(slot.id.load(std::memory_order_relaxed) == 0 ? appendMethodLegend(slot) : 0) {}

KeyRecording::~KeyRecording() {
    if (id_ != 0) slot_.id.store(id_, std::memory_order_release);
}

bool recordMethodKey(const std::string& key) { return recordKeySlot(*methodKeySlot(key)); }

void appendObjectLegend(std::string entry) {
    AgentState* state = agentState;
    state->objectLegend.append(std::move(entry));
    state->objectLegendSize.store(static_cast<jlong>(state->objectLegend.size()), std::memory_order_release);
    int32_t id = state->nextObjectId++;
    if (state->objectLegendFile != nullptr) {
        writeEntry(*state->objectLegendFile, id, state->objectLegend.items.back());
    }
}

int32_t appendMethodLegend(const KeySlot& slot) {
    AgentState* state = agentState;
    state->methodLegend.append(slot.key);
    int32_t id = state->nextMethodId++;
    if (state->methodLegendFile != nullptr) writeEntry(*state->methodLegendFile, id, slot.key);
    return id;
}

int32_t methodIdOf(std::string_view key) {
    AgentState* state = agentState;
    std::lock_guard<std::mutex> guard(state->keySlotsLock);
    const KeySlot* slot = state->keySlots.find(key);
    return slot != nullptr ? slot->id.load() : 0;
}

void openLegendFiles(const std::string& directory) {
    AgentState* state = agentState;
    const char* consequence = "it is written at unload instead.";
    state->objectLegendFile = createLegendFile(joinPath(directory, kObjectLegendName), consequence);
    state->methodLegendFile = createLegendFile(joinPath(directory, kMethodLegendName), consequence);
}

void writeLegends() {
    AgentState* state = agentState;
    if (state == nullptr) return;
    bool directoryChanged = state->traceDir.empty() || workingDirectory() != state->traceDir;
    finishLegend(state->objectLegendFile, kObjectLegendName, state->objectLegend,
                 state->nextObjectId, directoryChanged);
    finishLegend(state->methodLegendFile, kMethodLegendName, state->methodLegend,
                 state->nextMethodId, directoryChanged);
}

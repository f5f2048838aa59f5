// The one process-wide record of the agent and the list type it holds.
#pragma once

#include <jvmti.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "output/KeySlotTable.h"
#include "output/TraceCursor.h"

// Ordered, growable list of texts; entries are only ever appended.
template <typename Text>
struct TextList {
    std::vector<Text> items;

    void append(Text text) { items.push_back(std::move(text)); }
    const Text& at(std::size_t index) const { return items[index]; }
    std::size_t size() const { return items.size(); }
    bool empty() const { return items.empty(); }
    void clear() {
        items.clear();
        items.shrink_to_fit();
    }
};
using StringList = TextList<std::string>;
// Views of texts kept elsewhere for as long as the list (the method keys,
// which the key table keeps).
using ViewList = TextList<std::string_view>;

class MethodRecordTable;
class TextFile;

struct AgentState {
    AgentState();
    ~AgentState();
    AgentState(const AgentState&) = delete;
    AgentState& operator=(const AgentState&) = delete;

    jvmtiEnv* jvmti = nullptr;
    jrawMonitorID monitor = nullptr;
    // Set at load, before any event, when the handlers serialise on the
    // agent's own lock instead of the raw monitor (cheaper per event).
    bool ownLock = false;
    // A plain mutex: measured on four threads of static calls, a spinning
    // one made the run half as slow again (its spinners took the cores from
    // the thread holding it).
    alignas(64) std::mutex lock;
    // The trace's depth and the place of its next line (output/TraceWriter).
    TraceCursor traceCursor;
    // trace.txt; null: trace lines go to standard output.
    std::unique_ptr<TextFile> traceFile;
    std::string errorLogPath;  // empty: error lines go to standard error
    std::string traceDir;
    // The legends as they grow, in the working directory at load; null when
    // one could not be created (it is then written only at unload).
    std::unique_ptr<TextFile> objectLegendFile;
    std::unique_ptr<TextFile> methodLegendFile;
    // Changed only under the agent lock; read without it to decide
    // whether an event is worth preparing before the lock is taken.
    std::atomic<int32_t> activationDepth{0};
    StringList objectLegend;
    // Its size, for the events that find their receiver's tag without the
    // lock: a tag up to it has its entry.
    std::atomic<jlong> objectLegendSize{0};
    ViewList methodLegend;
    StringList filters;
    StringList activations;
    int32_t nextObjectId = 1;
    int32_t nextMethodId = 1;
    // Cleared by the option mode=norewrite, set by mode=rewrite (the last
    // one given decides). Rewritten methods hand their receiver to the hook
    // instead of having it fetched from their frame; the files are the same.
    bool rewriteClasses = true;
    // Set at load when the VM lets classes be retransformed: the classes
    // loaded before the VM was up are then rewritten too.
    bool retransformClasses = false;
    // Set at load where tagging an object takes its identity hash (HotSpot
    // from JDK 20, and any VM not known otherwise): an object is then
    // tagged before anything else can take a hash on its thread, so that
    // every object gets the hash it would get were it tagged when first met.
    bool tagsTakeHashes = false;
    // Set by the option mode=fetchcounts: unload says on standard error how
    // often receivers were fetched from the VM, and why.
    bool printFetchCounts = false;

    // Next object tag to hand out; tags start at 1, 0 means untagged.
    jlong nextTag = 1;
    // Every method key met, with its place in methodLegend, so a lookup
    // does not walk the list. Slots never move.
    KeySlotTable keySlots;
    std::mutex keySlotsLock;
    // What the agent learned of each method, so that later events of it ask
    // the VM nothing. Never null once created.
    std::unique_ptr<MethodRecordTable> records;
};

// The one global pointer; null before load and after unload.
extern AgentState* agentState;

// Allocates the record with its creation values and sets the global pointer.
AgentState* createAgentState();
// Releases the record and sets the global pointer back to null.
void destroyAgentState(AgentState* state);

// Whether event handlers may touch the state. Set once load has finished,
// cleared by unload before it writes the legends.
bool isAgentLive();
void setAgentLive(bool live);

// A handler calls beginAgentCallback before it touches the state, the
// monitor or the environment; false means the agent is no longer live and
// the handler must return at once. A true result must be paired with
// endAgentCallback. Unload waits for the callbacks in flight to end before
// it releases anything they could read.
bool beginAgentCallback();
void endAgentCallback();
int agentCallbacksInFlight();

// The same for the method event handlers, which may hold method records
// between their start and their end; `entered()` false means return at once.
class EventHandlerScope {
public:
    EventHandlerScope();
    ~EventHandlerScope();
    EventHandlerScope(const EventHandlerScope&) = delete;
    EventHandlerScope& operator=(const EventHandlerScope&) = delete;
    bool entered() const { return counter_ != nullptr; }

private:
    void leave(std::atomic<int>& count) const;

    std::atomic<int>* counter_;
    bool shared_ = false;
};

// Waits until every event handler that began before this call has ended;
// false when one is still running after `timeoutMs`. Must not be called from
// inside an event handler.
bool waitForEventHandlersStartedBefore(int timeoutMs);

// Base-36 identifiers, method keys and the two legend files.
#pragma once

#include <cstdint>
#include <string>

#include "agent/AgentState.h"

// The identifier of `number` in base 36 with lower-case digits; "0" for 0.
std::string makeId(int64_t number);

// An absent text as method keys and trace lines show it.
inline const char* shownText(const char* text) { return text != nullptr ? text : "(null)"; }

// Writes the method key into `buffer` (replacing what it held):
// "name:<signature>:<generic>", followed by "||classSignature" for a method
// taken as static. Absent texts are written "(null)".
void methodKey(std::string& buffer, const char* name, const char* signature, const char* generic,
               bool isStatic, const char* classSignature);

// The one slot of `key`, made when the key is first seen (recorded or not).
// Safe to call without the agent lock; the slot lives until unload.
KeySlot* methodKeySlot(std::string_view key);

// Adds the slot's key to the method legend unless it is there; true when it
// was added by this call. Called with the agent lock held.
bool recordKeySlot(KeySlot& slot);

// The same for an event that writes trace lines: the key is added when
// this is made, and the slot shows it recorded only when this ends, after
// the event's lines are placed, so that a line placed without the lock
// (see keyRecorded) never comes before them.
class KeyRecording {
public:
    explicit KeyRecording(KeySlot& slot);
    ~KeyRecording();
    KeyRecording(const KeyRecording&) = delete;
    KeyRecording& operator=(const KeyRecording&) = delete;
    bool added() const { return id_ != 0; }

private:
    KeySlot& slot_;
    int32_t id_;
};

// On any thread.
inline bool keyRecorded(const KeySlot& slot) {
    return slot.id.load(std::memory_order_acquire) != 0;
}

// Finds the key in the method legend or appends it; true when it was added.
bool recordMethodKey(const std::string& key);

// Every entry of either legend is added through these two, in identifier
// order, with the agent lock held, and is in its legend file when they
// return. appendObjectLegend adds the entry of the next receiver tag;
// appendMethodLegend adds the key of a slot not yet in the legend and
// returns its identifier; the legend keeps a view of the key table's text.
void appendObjectLegend(std::string entry);
int32_t appendMethodLegend(const KeySlot& slot);

// The identifier of a recorded key, 0 when the key is not in the legend.
int32_t methodIdOf(std::string_view key);

// Creates ObjectLegend.txt and MethodLegend.txt in `directory` (replacing
// an earlier run's); entries are written into them as they are added.
void openLegendFiles(const std::string& directory);

// Completes ObjectLegend.txt and then MethodLegend.txt and releases the
// legend entries. The files of load are closed; a legend is written whole
// into the working directory when that is not the one of load (or the file
// could not be made at load).
void writeLegends();

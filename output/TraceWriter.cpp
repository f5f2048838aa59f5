#include "output/TraceWriter.h"

#include <cstdio>

#include "agent/AgentState.h"
#include "output/TextFile.h"

namespace {

constexpr std::string_view kLineEnd(TextFile::kLineEnd, sizeof TextFile::kLineEnd - 1);

void putLine(TextFile* trace, std::size_t blanks, std::string_view text) {
    if (trace != nullptr) {
        // In the file once this returns, even if the process dies next.
        trace->writeLine(blanks, text);
        return;
    }
    writeBlanks(stdout, blanks);
    // Written as bytes, never as a format: names may hold '%'.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// Every claim made without the monitor is counted into the file before the
// monitor's holder writes on after it.
TextFile* settledTrace(AgentState& state) {
    std::size_t claimed = state.traceCursor.shut();
    TextFile* trace = state.traceFile.get();
    if (trace != nullptr) trace->wrote(claimed);
    return trace;
}

void writeLines(TraceCursor::Move move, const TraceCursor::Lines& lines) {
    AgentState* state = agentState;
    if (state == nullptr) return;
    TraceCursor& cursor = state->traceCursor;
    if (cursor.tryWrite(move, lines, kLineEnd)) return;
    // The window is shut or full: the lines go through the file's own
    // writer, which maps the next step, and the window opens after them.
    TextFile* trace = settledTrace(*state);
    int32_t depth = cursor.depth();
    auto blanks = static_cast<std::size_t>(TraceCursor::lineDepth(move, depth));
    putLine(trace, blanks, lines.first);
    if (lines.two) putLine(trace, blanks, lines.second);
    cursor.setDepth(TraceCursor::depthAfter(move, depth));
    if (trace != nullptr) {
        std::size_t room = 0;
        char* window = trace->freeRoom(room);
        cursor.open(window, room);
    }
}

bool writeUnlocked(TraceCursor::Move move, std::string_view text) {
    AgentState* state = agentState;
    TraceCursor::Lines lines(text);
    return state != nullptr &&
           state->traceCursor.tryWrite(move, lines, kLineEnd, TraceCursor::Pace::AfterOthersTurn);
}

}  // namespace

void writeTraceLine(std::string_view text) {
    writeLines(TraceCursor::Move::Stay, TraceCursor::Lines(text));
}

void writeEntryLine(std::string_view text) {
    writeLines(TraceCursor::Move::Enter, TraceCursor::Lines(text));
}

void writeExitLines(std::string_view text, std::string_view warning) {
    if (warning.empty()) {
        writeLines(TraceCursor::Move::Leave, TraceCursor::Lines(text));
    } else {
        writeLines(TraceCursor::Move::Leave, TraceCursor::Lines(warning, text));
    }
}

bool writeEntryLineUnlocked(std::string_view text) {
    return writeUnlocked(TraceCursor::Move::Enter, text);
}

bool writeExitLineUnlocked(std::string_view text) {
    return writeUnlocked(TraceCursor::Move::Leave, text);
}

int32_t traceDepth() {
    AgentState* state = agentState;
    return state != nullptr ? state->traceCursor.depth() : 0;
}

void setTraceDepth(int32_t depth) {
    if (AgentState* state = agentState) state->traceCursor.setDepth(depth);
}

void closeTraceFile() {
    AgentState* state = agentState;
    if (state == nullptr) return;
    settledTrace(*state);
    state->traceFile.reset();
}

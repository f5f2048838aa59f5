#include "output/TraceWriter.h"

#include <cstdio>

#include "agent/AgentState.h"
#include "output/TextFile.h"

void writeTraceLine(std::string_view text) {
    AgentState* state = agentState;
    if (state == nullptr) return;
    if (TextFile* trace = state->traceFile.get()) {
        // In the file once this returns, even if the process dies next.
        trace->writeLine(state->depth > 0 ? static_cast<std::size_t>(state->depth) : 0, text);
        return;
    }
    if (state->depth > 0) writeBlanks(stdout, static_cast<std::size_t>(state->depth));
    // Written as bytes, never as a format: names may hold '%'.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

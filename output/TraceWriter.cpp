#include "output/TraceWriter.h"

#include <cstdio>

#include "agent/AgentState.h"
#include "output/TextFile.h"

namespace {

constexpr char kBlanks[] =
    "                                                                "
    "                                                                ";
constexpr std::size_t kBlankCount = sizeof kBlanks - 1;

void writeBlanks(FILE* out, long count) {
    while (count > 0) {
        std::size_t chunk = count < static_cast<long>(kBlankCount) ? static_cast<std::size_t>(count)
                                                                   : kBlankCount;
        std::fwrite(kBlanks, 1, chunk, out);
        count -= static_cast<long>(chunk);
    }
}

}  // namespace

void writeTraceLine(std::string_view text) {
    AgentState* state = agentState;
    if (state == nullptr) return;
    if (TextFile* trace = state->traceFile.get()) {
        // In the file once this returns, even if the process dies next.
        if (state->depth > 0) trace->writeBlanks(static_cast<std::size_t>(state->depth));
        trace->write(text);
        trace->endLine();
        return;
    }
    writeBlanks(stdout, state->depth);
    // Written as bytes, never as a format: names may hold '%'.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

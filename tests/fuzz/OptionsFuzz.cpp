// Drives the whole option path on arbitrary text, as the load entry point
// would, and checks what must hold for any input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/AgentState.h"
#include "options/Options.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

void require(bool holds) {
    if (!holds) std::abort();
}

void checkEntries(const StringList& list, char separator) {
    for (const std::string& entry : list.items) {
        require(entry.find(separator) == std::string::npos);
        require(entry.find('*') == std::string::npos);
        require(entry.empty() || (!isBlank(entry.front()) && !isBlank(entry.back())));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every option is echoed on standard output; the fuzzer reports on
    // standard error.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // The VM hands over a NUL-terminated text; a NUL inside ends it there.
    const std::string text(reinterpret_cast<const char*>(data), size);

    AgentState* state = createAgentState();
    if (state == nullptr) return 0;
    parseAgentOptions(text.c_str());
    checkEntries(state->filters, ',');
    checkEntries(state->activations, '@');
    destroyAgentState(state);

    // Any range, in or out of the text, gives a trimmed piece of it.
    if (size >= 2) {
        const long start = static_cast<long>(data[0]) - 16;
        const long end = static_cast<long>(data[1]) - 16;
        const std::string piece = trimRange(text, start, end);
        require(piece.size() <= text.size());
        require(piece.empty() || text.find(piece) != std::string::npos);
        require(piece.empty() || (!isBlank(piece.front()) && !isBlank(piece.back())));
    }
    return 0;
}

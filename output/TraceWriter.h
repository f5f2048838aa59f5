// Writes the lines of trace.txt, indented by the current call depth.
#pragma once

#include <string_view>

// Writes `text` unchanged as one line preceded by AgentState::depth blanks,
// to the trace file or, while none is open, to standard output. Called with
// the agent monitor held.
void writeTraceLine(std::string_view text);

// Writes the lines of trace.txt, indented by the current call depth.
#pragma once

#include <cstdint>
#include <string_view>

// Each writes its text unchanged as a line preceded by as many blanks as
// the depth gives, to the trace file or, while none is open, to standard
// output, with the agent monitor held.
// One line at the current depth.
void writeTraceLine(std::string_view text);
// An entry's line: the depth first grows by one.
void writeEntryLine(std::string_view text);
// An exit's line, after `warning` when that is not empty, at the current
// depth; the depth then shrinks by one (never below 0).
void writeExitLines(std::string_view text, std::string_view warning);

// The same for an event whose place in the trace is all it needs of the
// global order, without the monitor: false, with nothing written, when the
// line cannot be placed that way (then take the monitor and write it).
bool writeEntryLineUnlocked(std::string_view text);
bool writeExitLineUnlocked(std::string_view text);

// The depth, with the monitor held or while no event runs.
int32_t traceDepth();
void setTraceDepth(int32_t depth);

// Closes trace.txt, every line placed in it written (with the monitor
// held, or while no event runs); later lines go to standard output.
void closeTraceFile();

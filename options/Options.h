// The agent option text: options separated by '*', of which "filter" and
// "activation" fill agentState->filters and agentState->activations.
#pragma once

#include <cstddef>
#include <string>

#include "agent/AgentState.h"

// Splits the text at '*', echoes every piece on standard output, then applies
// them in order. Never throws: it runs inside the VM's load entry point.
void parseAgentOptions(const char* text);

// The non-empty pieces of text between separators, unchanged; a null or empty
// text gives none.
StringList splitAtSeparator(const char* text, char separator);

// Dispatches the first count options (at most all of them) on the first
// keyword found in any letter case: filter, then mode, then activation.
void applyOptions(const StringList& options, std::size_t count);

// A copy with every byte passed through tolower (as an unsigned char).
std::string lowercaseCopy(const std::string& text);

// Appends the entries after the first '=' at index keywordLength or later of
// the trimmed option, cut at separator and trimmed, to list.
void parseListOption(const std::string& option, std::size_t keywordLength, char separator,
                     StringList& list);

// Characters start..end inclusive (end -1: the last one) without leading and
// trailing blanks (space, tab, line feed; not carriage return). Indices out of
// the text are clamped; an empty range gives the empty text.
std::string trimRange(const std::string& text, long start, long end);

// Runs the report's pieces on hand-made texts.
#pragma once

#include <string>
#include <vector>

#include "report/CallTree.h"
#include "report/Problems.h"

struct ParsedTrace {
    Problems problems;
    TraceParser parser{"trace.txt", problems};
    std::string collapsed;
    std::vector<std::string> messages;  // formatted problems
};

// Feeds `text` to a parser in pieces of `piece` bytes (all at once for 0)
// and keeps the collapsed stacks and the problems.
void parseTrace(ParsedTrace& parsed, const std::string& text, size_t piece = 0);

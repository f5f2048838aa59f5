// Collapsed stacks, the input of the usual flame-graph tools: one line per
// distinct call path, "frame;frame;...;frame count", sorted by byte order.
#pragma once

#include <cstdio>

#include "report/CallTree.h"

// The children of every node, as index ranges into one array.
struct ChildLists {
    std::vector<uint32_t> start;  // children of n: at[start[n]] .. at[start[n + 1] - 1]
    std::vector<uint32_t> at;
};
ChildLists childLists(const CallTree& tree);

// Writes the lines of every path with at least one call; false when
// writing failed.
bool writeCollapsed(const CallTree& tree, std::FILE* out);

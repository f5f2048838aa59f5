#include "report/Collapsed.h"

#include <algorithm>
#include <string>

ChildLists childLists(const CallTree& tree) {
    ChildLists lists;
    size_t n = tree.size();
    lists.start.assign(n + 1, 0);
    for (size_t i = 1; i < n; ++i) ++lists.start[tree.parent[i] + 1];
    for (size_t i = 0; i < n; ++i) lists.start[i + 1] += lists.start[i];
    lists.at.resize(n > 0 ? n - 1 : 0);
    std::vector<uint32_t> next(lists.start.begin(), lists.start.end() - 1);
    for (size_t i = 1; i < n; ++i) lists.at[next[tree.parent[i]]++] = static_cast<uint32_t>(i);
    return lists;
}

namespace {

// Below a node, each child gives up to two runs of lines: its own line
// "frame count" and the lines of its subtree "frame;...". Sorting these runs
// by "frame count" and "frame;" orders the lines as whole-line byte order
// does, since frames hold no ';' and a line ends where its count ends. This
// writes the file in order without ever holding more than one path.
struct Run {
    uint32_t node;
    bool own;
    std::string key;
};

std::vector<Run> runsBelow(const CallTree& tree, const ChildLists& lists, uint32_t node) {
    std::vector<Run> runs;
    for (uint32_t i = lists.start[node]; i < lists.start[node + 1]; ++i) {
        uint32_t c = lists.at[i];
        const std::string& frame = tree.frames[tree.frame[c]];
        if (tree.calls[c] > 0) runs.push_back(Run{c, true, frame + ' ' + std::to_string(tree.calls[c])});
        if (lists.start[c + 1] > lists.start[c]) runs.push_back(Run{c, false, frame + ';'});
    }
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.key < b.key; });
    return runs;
}

}  // namespace

bool writeCollapsed(const CallTree& tree, std::FILE* out) {
    ChildLists lists = childLists(tree);
    struct Level {
        std::vector<Run> runs;
        size_t next = 0;
        size_t pathLength = 0;  // of the path above this level
    };
    std::vector<Level> levels;
    std::string path;
    levels.push_back(Level{runsBelow(tree, lists, 0), 0, 0});
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.runs.size()) {
            path.resize(level.pathLength);
            levels.pop_back();
            continue;
        }
        const Run& run = level.runs[level.next++];
        path.resize(level.pathLength);
        if (run.own) {
            path += run.key;
            path += '\n';
            if (std::fwrite(path.data(), 1, path.size(), out) != path.size()) return false;
        } else {
            path += run.key;
            size_t length = path.size();
            levels.push_back(Level{runsBelow(tree, lists, run.node), 0, length});
        }
    }
    return std::fflush(out) == 0;
}

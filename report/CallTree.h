// Rebuilds the calling-context tree from trace.txt: identical call paths
// merged, with the number of calls made on each path.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "report/Problems.h"

// Node 0 is the root, above the outermost calls; it is no call itself.
// A child is always made after its parent, so parent[i] < i.
struct CallTree {
    std::vector<uint32_t> parent{0};
    std::vector<uint32_t> frame{0};
    std::vector<uint64_t> calls{0};
    // Frames in Java form; frame 0 stands for a caller the trace does not
    // show (a line deeper than the calls open before it).
    std::vector<std::string> frames{"(missing caller)"};

    // The method texts of the trace as written (class signature, name,
    // signature) and the frame each one maps to.
    std::deque<std::string> methodTexts;
    std::vector<uint32_t> methodFrame;

    size_t size() const { return parent.size(); }
    // The child of `node` for `frameId`, made when there is none.
    uint32_t child(uint32_t node, uint32_t frameId);

private:
    std::unordered_map<uint64_t, uint32_t> children_;
};

struct TraceStats {
    uint64_t lines = 0;
    uint64_t entries = 0;  // calls
    uint64_t exits = 0;
    uint64_t warnings = 0;
    uint64_t badLines = 0;       // not trace lines, left out
    uint64_t nestingErrors = 0;  // indentation that the lines before cannot give
    // Exits naming another method than the open call they close: what
    // interleaved threads sharing one depth look like.
    uint64_t otherMethodExits = 0;
    uint64_t openAtEnd = 0;
    uint64_t maxDepth = 0;
    bool cutInLine = false;  // last line without its line end
    uint64_t paddingBytes = 0;
    uint64_t paddingLine = 0;
};

// Reads trace.txt in pieces of any size; keeps only the tree, never the
// lines. `fileName` names the file in the problems it reports.
class TraceParser {
public:
    TraceParser(std::string fileName, Problems& problems);

    void feed(const char* data, size_t size);
    // Ends the input; what was cut short is reported here.
    void finish();

    CallTree& tree() { return tree_; }
    const TraceStats& stats() const { return stats_; }

private:
    struct OpenCall {
        uint32_t node;
        uint32_t method;
    };

    void line(std::string_view text);
    void entry(uint64_t depth, std::string_view text);
    void exit(uint64_t depth, std::string_view text, bool afterWarning);
    uint32_t methodOf(std::string_view text);

    std::string fileName_;
    Problems& problems_;
    CallTree tree_;
    TraceStats stats_;
    std::vector<OpenCall> open_;
    std::string pending_;  // a line that goes on in the next piece
    std::unordered_map<std::string_view, uint32_t> methodIds_;
    std::unordered_map<std::string, uint32_t> frameIds_;
    bool lastWasWarning_ = false;
};

// Reads the file at `path` into `parser`; false (with a problem) when it
// cannot be opened or read.
bool readTraceFile(const std::string& path, TraceParser& parser, Problems& problems);

#include "report/CallTree.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "report/JavaNames.h"

namespace {

constexpr std::string_view warningText = "Warning: Left method that hasn't been entered...";

std::string blanks(uint64_t n) { return n == 1 ? "1 blank" : std::to_string(n) + " blanks"; }

std::string openCalls(size_t n) {
    if (n == 0) return "no call is open";
    return n == 1 ? "1 call is open" : std::to_string(n) + " calls are open";
}

}  // namespace

uint32_t CallTree::child(uint32_t node, uint32_t frameId) {
    uint64_t key = (static_cast<uint64_t>(node) << 32) | frameId;
    auto found = children_.try_emplace(key, static_cast<uint32_t>(parent.size()));
    if (found.second) {
        parent.push_back(node);
        frame.push_back(frameId);
        calls.push_back(0);
    }
    return found.first->second;
}

TraceParser::TraceParser(std::string fileName, Problems& problems)
    : fileName_(std::move(fileName)), problems_(problems) {}

void TraceParser::feed(const char* data, size_t size) {
    std::string_view rest(data, size);
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        if (end == std::string_view::npos) {
            pending_.append(rest);
            return;
        }
        if (pending_.empty()) {
            line(rest.substr(0, end));
        } else {
            pending_.append(rest.substr(0, end));
            line(pending_);
            pending_.clear();
        }
        rest.remove_prefix(end + 1);
    }
}

void TraceParser::finish() {
    if (!pending_.empty()) {
        uint64_t number = stats_.lines + 1;
        size_t zero = pending_.find('\0');
        std::string_view text(pending_);
        if (zero != std::string::npos &&
            pending_.find_first_not_of('\0', zero) == std::string::npos) {
            // Padding without a line end of its own; what comes before it
            // on the line is still a cut line.
            ++stats_.lines;
            if (stats_.paddingBytes == 0) stats_.paddingLine = number;
            stats_.paddingBytes += pending_.size() - zero;
            text = text.substr(0, zero);
        } else {
            ++stats_.lines;
        }
        if (!text.empty()) {
            stats_.cutInLine = true;
            problems_.add(fileName_, number,
                          "the trace ends in the middle of this line, so the run was cut short; " +
                              quoteLine(text) + " is left out");
        }
        pending_.clear();
    }
    if (stats_.paddingBytes != 0) {
        problems_.add(fileName_, stats_.paddingLine,
                      "the trace is cut short here: " + std::to_string(stats_.paddingBytes) +
                          " zero bytes of padding (a crashed run?); the report shows the lines "
                          "before them");
    }
    stats_.openAtEnd = 0;
    for (const OpenCall& call : open_) {
        if (call.node != 0 && tree_.frame[call.node] != 0) ++stats_.openAtEnd;
    }
}

void TraceParser::line(std::string_view text) {
    uint64_t number = ++stats_.lines;
    // Traces written on Windows end their lines in CR LF.
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);

    size_t zero = text.find('\0');
    if (zero != std::string_view::npos) {
        if (text.find_first_not_of('\0', zero) == std::string_view::npos) {
            if (stats_.paddingBytes == 0) stats_.paddingLine = number;
            stats_.paddingBytes += text.size() - zero + 1;  // with the line end
            if (zero != 0) {
                ++stats_.badLines;
                problems_.add(fileName_, number,
                              "the line is cut short by zero bytes; " + quoteLine(text.substr(0, zero)) +
                                  " is left out");
            }
        } else {
            ++stats_.badLines;
            problems_.add(fileName_, number, "not a trace line (zero bytes inside): " + quoteLine(text));
        }
        return;
    }

    size_t depth = text.find_first_not_of(' ');
    std::string_view body = depth == std::string_view::npos ? std::string_view() : text.substr(depth);
    if (depth == std::string_view::npos) depth = text.size();
    if (body == warningText) {
        ++stats_.warnings;
        lastWasWarning_ = true;
        return;
    }
    bool afterWarning = lastWasWarning_;
    lastWasWarning_ = false;
    EventText parts;
    bool isExit = !body.empty() && body[0] == '-';
    std::string_view method = isExit ? body.substr(1) : body;
    if (!splitEventText(method, parts)) {
        ++stats_.badLines;
        problems_.add(fileName_, number, "not a trace line: " + quoteLine(text));
        return;
    }
    if (isExit) {
        exit(depth, method, afterWarning);
    } else {
        entry(depth, method);
    }
}

uint32_t TraceParser::methodOf(std::string_view text) {
    auto found = methodIds_.find(text);
    if (found != methodIds_.end()) return found->second;
    uint32_t id = static_cast<uint32_t>(tree_.methodTexts.size());
    const std::string& stored = tree_.methodTexts.emplace_back(text);
    EventText parts;
    splitEventText(stored, parts);
    // Methods whose Java forms are equal (bridge methods differing only in
    // their return type) share one frame: a collapsed stack has no return
    // types to tell them apart.
    auto frame = frameIds_.try_emplace(javaFrame(parts), static_cast<uint32_t>(tree_.frames.size()));
    if (frame.second) tree_.frames.push_back(frame.first->first);
    tree_.methodFrame.push_back(frame.first->second);
    methodIds_.emplace(stored, id);
    return id;
}

void TraceParser::entry(uint64_t depth, std::string_view text) {
    uint64_t number = stats_.lines;
    ++stats_.entries;
    if (depth > stats_.maxDepth) stats_.maxDepth = depth;
    uint32_t method = methodOf(text);
    uint64_t callerDepth = depth == 0 ? 0 : depth - 1;
    if (depth == 0) {
        ++stats_.nestingErrors;
        problems_.add(fileName_, number, "an entry without indentation; shown as an outermost call");
    } else if (open_.size() > callerDepth) {
        ++stats_.nestingErrors;
        problems_.add(fileName_, number,
                      "an entry indented by " + blanks(depth) + " while " + openCalls(open_.size()) +
                          "; the deeper ones are taken as closed");
    } else if (open_.size() < callerDepth) {
        ++stats_.nestingErrors;
        problems_.add(fileName_, number,
                      "an entry indented by " + blanks(depth) + " while " +
                          (open_.empty() ? std::string() : "only ") + openCalls(open_.size()) +
                          "; its missing callers are shown as \"(missing caller)\"");
    }
    if (open_.size() > callerDepth) open_.resize(callerDepth);
    while (open_.size() < callerDepth) {
        uint32_t parent = open_.empty() ? 0 : open_.back().node;
        open_.push_back(OpenCall{tree_.child(parent, 0), UINT32_MAX});
    }
    uint32_t parent = open_.empty() ? 0 : open_.back().node;
    uint32_t node = tree_.child(parent, tree_.methodFrame[method]);
    ++tree_.calls[node];
    open_.push_back(OpenCall{node, method});
}

void TraceParser::exit(uint64_t depth, std::string_view text, bool afterWarning) {
    uint64_t number = stats_.lines;
    ++stats_.exits;
    uint32_t method = methodOf(text);
    if (open_.size() != depth) {
        ++stats_.nestingErrors;
        problems_.add(fileName_, number,
                      "an exit indented by " + blanks(depth) + " while " + openCalls(open_.size()) +
                          (open_.size() > depth ? "; the deeper ones are taken as closed" : ""));
    } else if (depth != 0 && open_.back().method != method && !afterWarning) {
        ++stats_.otherMethodExits;
    }
    if (depth == 0) {
        open_.clear();
    } else if (open_.size() >= depth) {
        open_.resize(depth - 1);
    }
}

bool readTraceFile(const std::string& path, TraceParser& parser, Problems& problems) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        problems.add(path, 0, std::string("cannot be opened: ") + std::strerror(errno));
        return false;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (got > 0) parser.feed(buffer.data(), got);
        if (got < buffer.size()) break;
    }
    if (std::ferror(file.get())) {
        int error = errno;
        parser.finish();
        if (parser.stats().lines == 0) {
            problems.add(path, 0, std::string("cannot be read: ") + std::strerror(error));
        } else {
            problems.add(path, parser.stats().lines,
                         std::string("cannot be read further: ") + std::strerror(error) +
                             "; the report shows the lines before");
        }
        return parser.stats().lines > 0;
    }
    parser.finish();
    return true;
}

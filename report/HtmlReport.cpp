#include "report/HtmlReport.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "report/Collapsed.h"
#include "report/JavaNames.h"

namespace {

constexpr std::string_view dataMarker = "/*KELMORA-REPORT-DATA*/null";

void appendEscape(std::string& out, unsigned code) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
    out += escaped;
}

// Length of the UTF-8 sequence at `at` and its code point; 0 when the
// bytes there are no valid sequence.
size_t decodeUtf8(std::string_view text, size_t at, unsigned& code) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned first = byte(at);
    size_t length = first >= 0xf0 && first < 0xf5 ? 4 : first >= 0xe0 ? 3 : first >= 0xc2 ? 2 : 0;
    if (first >= 0xf5) length = 0;
    if (length == 0 || at + length > text.size()) return 0;
    code = first & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3f);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff))) return 0;
    return length;
}

template <typename T>
void appendArray(std::string& out, const std::vector<T>& values) {
    out += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i != 0) out += ',';
        out += std::to_string(values[i]);
    }
    out += ']';
}

void appendField(std::string& out, const char* name, uint64_t value) {
    out += '"';
    out += name;
    out += "\":";
    out += std::to_string(value);
    out += ',';
}

void appendField(std::string& out, const char* name, bool value) {
    out += '"';
    out += name;
    out += "\":";
    out += value ? "true" : "false";
    out += ',';
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == '<' || c == '>' || c == '&' || c == 0x7f) {
                appendEscape(out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        unsigned code = 0;
        size_t length = decodeUtf8(text, i, code);
        if (length == 0) {
            appendEscape(out, c);
            ++i;
        } else if (code >= 0xd800 && code < 0xe000) {
            // The VM writes characters beyond U+FFFF as two encoded
            // surrogates; as escapes, the page joins them again.
            appendEscape(out, code);
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    out += '"';
}

std::string reportJson(const ReportInput& input) {
    const CallTree& tree = *input.tree;
    const TraceStats& stats = *input.stats;
    std::string out = "{\"trace\":";
    appendJsonString(out, input.traceName);
    out += ",\"summary\":{";
    appendField(out, "traceRead", input.traceRead);
    appendField(out, "lines", stats.lines);
    appendField(out, "calls", stats.entries);
    uint64_t methods = 0;
    {
        std::vector<bool> called(tree.frames.size(), false);
        for (size_t i = 1; i < tree.size(); ++i) {
            if (tree.calls[i] > 0 && !called[tree.frame[i]]) {
                called[tree.frame[i]] = true;
                ++methods;
            }
        }
    }
    appendField(out, "methods", methods);
    appendField(out, "exits", stats.exits);
    appendField(out, "warnings", stats.warnings);
    appendField(out, "badLines", stats.badLines);
    appendField(out, "nestingErrors", stats.nestingErrors);
    appendField(out, "otherMethodExits", stats.otherMethodExits);
    appendField(out, "openAtEnd", stats.openAtEnd);
    appendField(out, "maxDepth", stats.maxDepth);
    appendField(out, "cutInLine", stats.cutInLine);
    appendField(out, "paddingBytes", stats.paddingBytes);
    appendField(out, "methodLegend", input.methods->read);
    appendField(out, "methodKeys", input.methods->keys);
    appendField(out, "objectLegend", input.objects->read);
    appendField(out, "receivers", input.objects->receivers);
    out.pop_back();
    out += '}';

    // How the agent took each frame's method, and how many receivers of
    // the method's own class the object legend lists.
    std::unordered_map<std::string, uint64_t> receiversOfClass;
    for (const ReceiverClass& c : input.objects->classes) receiversOfClass[c.classSignature] = c.receivers;
    std::string kinds(tree.frames.size(), '?');
    std::vector<uint64_t> frameReceivers(tree.frames.size(), 0);
    for (size_t m = 0; m < tree.methodTexts.size(); ++m) {
        const std::string& text = tree.methodTexts[m];
        uint32_t f = tree.methodFrame[m];
        EventText parts;
        splitEventText(text, parts);
        std::string nameAndSignature(parts.name);
        nameAndSignature.append(parts.signature);
        if (input.methods->staticMethods.count(text) != 0) {
            kinds[f] = 's';
        } else if (kinds[f] != 's' && input.methods->instanceMethods.count(nameAndSignature) != 0) {
            kinds[f] = 'i';
            auto found = receiversOfClass.find(std::string(parts.classSignature));
            if (found != receiversOfClass.end()) frameReceivers[f] = found->second;
        }
    }
    kinds[0] = '?';
    out += ",\"frames\":[";
    for (size_t f = 0; f < tree.frames.size(); ++f) {
        if (f != 0) out += ',';
        appendJsonString(out, tree.frames[f]);
    }
    out += "],\"kinds\":";
    appendJsonString(out, kinds);
    out += ",\"frameReceivers\":";
    appendArray(out, frameReceivers);

    // Nodes in depth-first order, heaviest child first, so that the page
    // can draw the tree and the flame graph from three arrays.
    std::vector<uint64_t> total(tree.calls);
    for (size_t i = tree.size(); i-- > 1;) total[tree.parent[i]] += total[i];
    ChildLists lists = childLists(tree);
    for (size_t n = 0; n < tree.size(); ++n) {
        std::stable_sort(lists.at.begin() + lists.start[n], lists.at.begin() + lists.start[n + 1],
                         [&](uint32_t a, uint32_t b) { return total[a] > total[b]; });
    }
    std::vector<uint32_t> order;
    std::vector<uint32_t> newId(tree.size(), 0);
    order.reserve(tree.size());
    std::vector<uint32_t> stack{0};
    while (!stack.empty()) {
        uint32_t n = stack.back();
        stack.pop_back();
        newId[n] = static_cast<uint32_t>(order.size());
        order.push_back(n);
        for (uint32_t i = lists.start[n + 1]; i-- > lists.start[n];) stack.push_back(lists.at[i]);
    }
    std::vector<uint32_t> parents, frames;
    std::vector<uint64_t> calls;
    parents.reserve(order.size());
    frames.reserve(order.size());
    calls.reserve(order.size());
    for (uint32_t n : order) {
        parents.push_back(newId[tree.parent[n]]);
        frames.push_back(tree.frame[n]);
        calls.push_back(tree.calls[n]);
    }
    out += ",\"parent\":";
    appendArray(out, parents);
    out += ",\"frame\":";
    appendArray(out, frames);
    out += ",\"calls\":";
    appendArray(out, calls);

    std::vector<const ReceiverClass*> classes;
    for (const ReceiverClass& c : input.objects->classes) classes.push_back(&c);
    std::stable_sort(classes.begin(), classes.end(),
                     [](const ReceiverClass* a, const ReceiverClass* b) { return a->receivers > b->receivers; });
    out += ",\"classes\":[";
    for (size_t i = 0; i < classes.size(); ++i) {
        if (i != 0) out += ',';
        out += '[';
        appendJsonString(out, classes[i]->classSignature.empty() ? std::string("(no class signature)")
                                                                 : javaClassName(classes[i]->classSignature));
        out += ',' + std::to_string(classes[i]->receivers) + ',';
        std::string generics;
        for (const std::string& g : classes[i]->generics) generics += (generics.empty() ? "" : " ") + g;
        appendJsonString(out, generics);
        out += ']';
    }
    out += "],\"problems\":[";
    const std::vector<Problem>& problems = input.problems->kept();
    for (size_t i = 0; i < problems.size(); ++i) {
        if (i != 0) out += ',';
        appendJsonString(out, formatProblem(problems[i]));
    }
    out += "],\"problemCount\":" + std::to_string(input.problems->count()) + '}';
    return out;
}

bool writeHtmlReport(const ReportInput& input, std::FILE* out) {
    std::string_view page(reportPageTemplate);
    size_t at = page.find(dataMarker);
    if (at == std::string_view::npos) return false;
    std::string json = reportJson(input);
    bool written = std::fwrite(page.data(), 1, at, out) == at &&
                   std::fwrite(json.data(), 1, json.size(), out) == json.size();
    std::string_view rest = page.substr(at + dataMarker.size());
    written = written && std::fwrite(rest.data(), 1, rest.size(), out) == rest.size();
    return std::fflush(out) == 0 && written;
}

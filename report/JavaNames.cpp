#include "report/JavaNames.h"

#include <algorithm>

namespace {

constexpr std::string_view absentText = "(null)";

// Appends the Java form of the field descriptor at `at` and moves `at`
// past it; false when there is no valid field descriptor there.
bool appendFieldType(std::string_view descriptor, size_t& at, std::string& out) {
    size_t dimensions = 0;
    while (at < descriptor.size() && descriptor[at] == '[') {
        ++dimensions;
        ++at;
    }
    if (at >= descriptor.size()) return false;
    char code = descriptor[at];
    const char* primitive = nullptr;
    switch (code) {
    case 'B': primitive = "byte"; break;
    case 'C': primitive = "char"; break;
    case 'D': primitive = "double"; break;
    case 'F': primitive = "float"; break;
    case 'I': primitive = "int"; break;
    case 'J': primitive = "long"; break;
    case 'S': primitive = "short"; break;
    case 'Z': primitive = "boolean"; break;
    case 'L': {
        size_t end = descriptor.find(';', at);
        if (end == std::string_view::npos || end == at + 1) return false;
        std::string_view name = descriptor.substr(at + 1, end - at - 1);
        if (name.find_first_of("()[") != std::string_view::npos) return false;
        for (char c : name) out += c == '/' ? '.' : c;
        at = end + 1;
        break;
    }
    default: return false;
    }
    if (primitive != nullptr) {
        out += primitive;
        ++at;
    }
    for (size_t i = 0; i < dimensions; ++i) out += "[]";
    return true;
}

// "(Ljava/lang/Object;I)V" gives "(java.lang.Object,int)"; false when the
// text is not a whole method descriptor.
bool javaParameters(std::string_view descriptor, std::string& out) {
    if (descriptor.empty() || descriptor[0] != '(') return false;
    std::string params = "(";
    size_t at = 1;
    bool first = true;
    while (at < descriptor.size() && descriptor[at] != ')') {
        if (!first) params += ',';
        first = false;
        if (!appendFieldType(descriptor, at, params)) return false;
    }
    if (at >= descriptor.size()) return false;
    ++at;  // ')'
    std::string ignored;
    if (at < descriptor.size() && descriptor[at] == 'V') {
        ++at;
    } else if (!appendFieldType(descriptor, at, ignored)) {
        return false;
    }
    if (at != descriptor.size()) return false;
    out += params;
    out += ')';
    return true;
}

void appendWithoutSemicolons(std::string_view text, std::string& out) {
    for (char c : text) out += c == ';' ? ':' : c;
}

}  // namespace

bool splitEventText(std::string_view text, EventText& parts) {
    std::string_view rest;
    if (text.substr(0, absentText.size()) == absentText) {
        parts.classSignature = text.substr(0, absentText.size());
        rest = text.substr(absentText.size());
    } else if (!text.empty() && text[0] == 'L') {
        size_t end = text.find(';');
        if (end == std::string_view::npos || end == 1) return false;
        parts.classSignature = text.substr(0, end + 1);
        rest = text.substr(end + 1);
    } else {
        return false;
    }
    // A name is never empty, so the signature's '(' comes after its first
    // character; this also splits an absent name "(null)" from what follows.
    size_t open = rest.find('(', 1);
    if (rest.empty() || open == std::string_view::npos) return false;
    parts.name = rest.substr(0, open);
    parts.signature = rest.substr(open);
    return true;
}

std::string javaClassName(std::string_view classSignature) {
    if (classSignature.size() < 3 || classSignature.front() != 'L' || classSignature.back() != ';' ||
        classSignature.find(';') != classSignature.size() - 1) {
        return std::string(classSignature);
    }
    std::string name(classSignature.substr(1, classSignature.size() - 2));
    std::replace(name.begin(), name.end(), '/', '.');
    return name;
}

std::string javaFrame(const EventText& parts) {
    std::string frame;
    appendWithoutSemicolons(javaClassName(parts.classSignature), frame);
    frame += '.';
    appendWithoutSemicolons(parts.name, frame);
    if (!javaParameters(parts.signature, frame)) appendWithoutSemicolons(parts.signature, frame);
    return frame;
}

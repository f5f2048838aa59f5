#include "report/Problems.h"

#include <cstdio>

void Problems::add(const std::string& file, uint64_t line, std::string text) {
    ++count_;
    if (problems_.size() < kept_) problems_.push_back(Problem{file, line, std::move(text)});
}

std::string formatProblem(const Problem& problem) {
    std::string out = problem.file;
    if (problem.line != 0) out += ":" + std::to_string(problem.line);
    out += ": ";
    out += problem.text;
    return out;
}

std::string quoteLine(std::string_view line) {
    constexpr size_t shown = 80;
    std::string out = "\"";
    for (size_t i = 0; i < line.size() && i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += line.size() > shown ? "...\"" : "\"";
    return out;
}

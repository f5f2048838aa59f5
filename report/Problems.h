// What was wrong with the input files, each with the file and line it was
// found at, for the console and for the page.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Problem {
    std::string file;
    uint64_t line = 0;  // 0: about the file as a whole
    std::string text;
};

class Problems {
public:
    // Keeps the first `kept` problems; later ones are only counted, so that
    // a file of garbage does not make a report of garbage.
    explicit Problems(size_t kept = 200) : kept_(kept) {}

    void add(const std::string& file, uint64_t line, std::string text);
    const std::vector<Problem>& kept() const { return problems_; }
    uint64_t count() const { return count_; }

private:
    size_t kept_;
    uint64_t count_ = 0;
    std::vector<Problem> problems_;
};

// "file:line: text", or "file: text" for line 0.
std::string formatProblem(const Problem& problem);

// The start of a line as a message may quote it: at most 80 characters,
// bytes below blank shown as \xNN.
std::string quoteLine(std::string_view line);

#include "tests/unit/report/ReportTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "report/Collapsed.h"

void parseTrace(ParsedTrace& parsed, const std::string& text, size_t piece) {
    if (piece == 0) piece = text.size() + 1;
    for (size_t at = 0; at < text.size(); at += piece) {
        parsed.parser.feed(text.data() + at, std::min(piece, text.size() - at));
    }
    parsed.parser.finish();
    std::FILE* out = std::tmpfile();
    ASSERT_TRUE(out != nullptr);
    ASSERT_TRUE(writeCollapsed(parsed.parser.tree(), out));
    std::rewind(out);
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, out)) > 0) parsed.collapsed.append(buffer, got);
    std::fclose(out);
    for (const Problem& p : parsed.problems.kept()) parsed.messages.push_back(formatProblem(p));
}

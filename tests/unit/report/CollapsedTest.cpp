#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "report/JavaNames.h"
#include "tests/unit/report/ReportTestSupport.h"

namespace {

// Methods whose frames are prefixes of one another with characters below
// ';' after the prefix ("x(null)" and "x(null).y", "x(null) z"), where
// sorting whole lines differs from sorting the frames of a level.
const std::vector<std::string> methods = {
    "Lp/A;x(null)", "Lp/A;x(null).y", "Lp/A;x(null) z", "Lp/A;x(null)-", "Lp/A;x()V", "Lp/A;x(I)V",
    "Lp/A$B;x()V",  "Lp/A;y([J)V",    "(null)x()V",     "Lp/A;x(null)1", "Lp/A;x(null)!",
};

std::string frameOf(const std::string& method) {
    EventText parts;
    splitEventText(method, parts);
    return javaFrame(parts);
}

// A random well-nested trace and, counted beside it, the calls per path.
std::string randomTrace(std::mt19937& random, std::map<std::string, uint64_t>& pathCalls) {
    std::string text;
    std::vector<std::string> open;
    std::vector<std::string> path;
    for (int step = 0; step < 400; ++step) {
        bool enter = open.empty() || (open.size() < 6 && random() % 2 == 0);
        if (enter) {
            const std::string& method = methods[random() % methods.size()];
            open.push_back(method);
            path.push_back(frameOf(method));
            std::string joined;
            for (const std::string& f : path) joined += (joined.empty() ? "" : ";") + f;
            ++pathCalls[joined];
            text += std::string(open.size(), ' ') + method + "\n";
        } else {
            text += std::string(open.size(), ' ') + "-" + open.back() + "\n";
            open.pop_back();
            path.pop_back();
        }
    }
    return text;
}

}  // namespace

TEST(CollapsedTest, LinesAreTheCountsPerPathInByteOrder) {
    std::mt19937 random(12);
    for (int round = 0; round < 50; ++round) {
        std::map<std::string, uint64_t> pathCalls;
        std::string trace = randomTrace(random, pathCalls);
        std::vector<std::string> expected;
        for (const auto& [path, calls] : pathCalls) expected.push_back(path + " " + std::to_string(calls));
        std::sort(expected.begin(), expected.end());  // byte order of whole lines
        std::string want;
        for (const std::string& line : expected) want += line + "\n";

        ParsedTrace parsed;
        parseTrace(parsed, trace, 97);
        ASSERT_EQ(parsed.collapsed, want) << "round " << round;
    }
}

TEST(CollapsedTest, ParentLineBeforeSiblingsThatExtendItsFrame) {
    ParsedTrace parsed;
    parseTrace(parsed,
               " Lp/A;x(null)\n"
               "  Lp/A;x()V\n"
               "  -Lp/A;x()V\n"
               " -Lp/A;x(null)\n"
               " Lp/A;x(null).y\n"
               " -Lp/A;x(null).y\n");
    EXPECT_EQ(parsed.collapsed,
              "p.A.x(null) 1\n"
              "p.A.x(null).y 1\n"
              "p.A.x(null);p.A.x() 1\n");
}

TEST(CollapsedTest, EmptyTraceGivesNoLines) {
    ParsedTrace parsed;
    parseTrace(parsed, "");
    EXPECT_EQ(parsed.collapsed, "");
    EXPECT_EQ(parsed.parser.stats().lines, 0u);
    // Exits alone make no call.
    ParsedTrace exits;
    parseTrace(exits, "Warning: Left method that hasn't been entered...\n-Lapp/A;a()V\n");
    EXPECT_EQ(exits.collapsed, "");
}

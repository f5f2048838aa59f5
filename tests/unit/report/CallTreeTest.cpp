#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>
#include <string>

#include "tests/unit/report/ReportTestSupport.h"

namespace {

// app.Main calling a job twice, the job a helper once each time; the
// second helper call is left by an exception (same exit line).
const std::string nestedTrace =
    " Lapp/Main;main([Ljava/lang/String;)V\n"
    "  Lapp/Job;run()V\n"
    "   Lapp/Job;help(J[[D)I\n"
    "   -Lapp/Job;help(J[[D)I\n"
    "  -Lapp/Job;run()V\n"
    "  Lapp/Job;run()V\n"
    "   Lapp/Job;help(J[[D)I\n"
    "   -Lapp/Job;help(J[[D)I\n"
    "  -Lapp/Job;run()V\n"
    "  Lapp/Box;put(Ljava/lang/Object;I)V\n"
    "  -Lapp/Box;put(Ljava/lang/Object;I)V\n"
    " -Lapp/Main;main([Ljava/lang/String;)V\n";

const std::string nestedCollapsed =
    "app.Main.main(java.lang.String[]) 1\n"
    "app.Main.main(java.lang.String[]);app.Box.put(java.lang.Object,int) 1\n"
    "app.Main.main(java.lang.String[]);app.Job.run() 2\n"
    "app.Main.main(java.lang.String[]);app.Job.run();app.Job.help(long,double[][]) 2\n";

}  // namespace

TEST(CallTreeTest, NestingMergesIdenticalPathsAndCountsCalls) {
    ParsedTrace parsed;
    parseTrace(parsed, nestedTrace);
    EXPECT_EQ(parsed.collapsed, nestedCollapsed);
    const TraceStats& stats = parsed.parser.stats();
    EXPECT_EQ(stats.lines, 12u);
    EXPECT_EQ(stats.entries, 6u);
    EXPECT_EQ(stats.exits, 6u);
    EXPECT_EQ(stats.maxDepth, 3u);
    EXPECT_EQ(stats.openAtEnd, 0u);
    EXPECT_EQ(stats.otherMethodExits, 0u);
    EXPECT_EQ(parsed.parser.tree().size(), 5u);  // root and four paths
    EXPECT_TRUE(parsed.messages.empty());
}

TEST(CallTreeTest, PiecesOfAnySizeAndWindowsLineEndsGiveTheSameTree) {
    std::string crlf;
    for (char c : nestedTrace) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string* text : {&nestedTrace, static_cast<const std::string*>(&crlf)}) {
        for (size_t piece : {1, 2, 7, 64}) {
            ParsedTrace parsed;
            parseTrace(parsed, *text, piece);
            EXPECT_EQ(parsed.collapsed, nestedCollapsed) << "piece " << piece;
            EXPECT_EQ(parsed.parser.stats().lines, 12u);
            EXPECT_TRUE(parsed.messages.empty());
        }
    }
}

TEST(CallTreeTest, WarningLinesAreCountedNotCalls) {
    // The agent's clamp at depth 0 and a warned exit inside open calls: the
    // exit still closes the open call at its depth, as the format says.
    ParsedTrace parsed;
    parseTrace(parsed,
               "Warning: Left method that hasn't been entered...\n"
               "-Lapp/Early;go()V\n"
               " Lapp/Main;main([Ljava/lang/String;)V\n"
               "  Lapp/Job;run()V\n"
               "  Warning: Left method that hasn't been entered...\n"
               "  -Lapp/Other;loop()V\n"
               "  Lapp/Job;run()V\n"
               "  -Lapp/Job;run()V\n"
               " -Lapp/Main;main([Ljava/lang/String;)V\n");
    const TraceStats& stats = parsed.parser.stats();
    EXPECT_EQ(stats.warnings, 2u);
    EXPECT_EQ(stats.entries, 3u);
    EXPECT_EQ(stats.exits, 4u);
    EXPECT_EQ(stats.otherMethodExits, 0u);  // the warned exits announce themselves
    EXPECT_EQ(parsed.collapsed,
              "app.Main.main(java.lang.String[]) 1\n"
              "app.Main.main(java.lang.String[]);app.Job.run() 2\n");
    EXPECT_TRUE(parsed.messages.empty()) << parsed.messages[0];
}

TEST(CallTreeTest, InterleavedThreadsFollowTheFileAndAreCounted) {
    // Thread A runs a(), thread B enters b() while A is inside: in the file
    // B's call gets depth 2 and A's a() as parent. A then leaves a() at
    // depth 2, which closes b(), and B leaves b() at depth 1, closing a().
    ParsedTrace parsed;
    parseTrace(parsed,
               " Lapp/A;a()V\n"
               "  Lapp/B;b()V\n"
               "  -Lapp/A;a()V\n"
               " -Lapp/B;b()V\n"
               " Lapp/A;a()V\n"
               "  Lapp/B;b()V\n"
               "  -Lapp/B;b()V\n"
               " -Lapp/A;a()V\n");
    const TraceStats& stats = parsed.parser.stats();
    EXPECT_EQ(stats.otherMethodExits, 2u);
    EXPECT_EQ(stats.entries, 4u);
    EXPECT_EQ(stats.nestingErrors, 0u);
    EXPECT_EQ(parsed.collapsed,
              "app.A.a() 2\n"
              "app.A.a();app.B.b() 2\n");
    EXPECT_TRUE(parsed.messages.empty());
}

TEST(CallTreeTest, LinesThatAreNoTraceLinesAreReportedAndLeftOut) {
    ParsedTrace parsed;
    parseTrace(parsed,
               " Lapp/Main;main([Ljava/lang/String;)V\n"
               "Picked up JAVA_TOOL_OPTIONS: -Xmx1g\n"
               "\n"
               "  Lapp/Job;run()V\n"
               "  -Lapp/Job;run()V\n"
               "   \tLapp/X;y()V\n"
               " -Lapp/Main;main([Ljava/lang/String;)V\n");
    EXPECT_EQ(parsed.parser.stats().badLines, 3u);
    EXPECT_EQ(parsed.parser.stats().lines, 7u);
    EXPECT_EQ(parsed.collapsed,
              "app.Main.main(java.lang.String[]) 1\n"
              "app.Main.main(java.lang.String[]);app.Job.run() 1\n");
    ASSERT_EQ(parsed.messages.size(), 3u);
    EXPECT_EQ(parsed.messages[0], "trace.txt:2: not a trace line: \"Picked up JAVA_TOOL_OPTIONS: -Xmx1g\"");
    EXPECT_EQ(parsed.messages[1], "trace.txt:3: not a trace line: \"\"");
    EXPECT_EQ(parsed.messages[2], "trace.txt:6: not a trace line: \"   \\x09Lapp/X;y()V\"");
}

TEST(CallTreeTest, TraceCutInTheMiddleOfALine) {
    // A crashed run: the buffered stream ended inside a line. The open
    // calls stay open; the cut line is no call.
    for (size_t piece : {0, 3}) {
        ParsedTrace parsed;
        parseTrace(parsed,
                   " Lapp/Main;main([Ljava/lang/String;)V\n"
                   "  Lapp/Job;run()V\n"
                   "   Lapp/Job;he",
                   piece);
        const TraceStats& stats = parsed.parser.stats();
        EXPECT_TRUE(stats.cutInLine);
        EXPECT_EQ(stats.lines, 3u);
        EXPECT_EQ(stats.entries, 2u);
        EXPECT_EQ(stats.openAtEnd, 2u);
        EXPECT_EQ(parsed.collapsed,
                  "app.Main.main(java.lang.String[]) 1\n"
                  "app.Main.main(java.lang.String[]);app.Job.run() 1\n");
        ASSERT_EQ(parsed.messages.size(), 1u);
        EXPECT_EQ(parsed.messages[0],
                  "trace.txt:3: the trace ends in the middle of this line, so the run was cut short; "
                  "\"   Lapp/Job;he\" is left out");
    }
}

TEST(CallTreeTest, PaddingAtTheEndOfACrashedRun) {
    std::string zeros(4096, '\0');
    std::string head = " Lapp/Main;main([Ljava/lang/String;)V\n  Lapp/Job;run()V\n";
    struct Case {
        std::string text;
        size_t messages;
    } cases[] = {
        {head + zeros, 1},                        // padding after a whole line
        {head + "  -Lapp/Jo" + zeros, 2},         // padding cutting a line
        {head + zeros + "\n" + zeros + "\n", 1},  // padding with line ends inside
    };
    for (const Case& c : cases) {
        ParsedTrace parsed;
        parseTrace(parsed, c.text, 1000);
        const TraceStats& stats = parsed.parser.stats();
        EXPECT_GE(stats.paddingBytes, 4096u);
        EXPECT_EQ(stats.paddingLine, 3u);
        EXPECT_EQ(stats.entries, 2u);
        EXPECT_EQ(parsed.collapsed,
                  "app.Main.main(java.lang.String[]) 1\n"
                  "app.Main.main(java.lang.String[]);app.Job.run() 1\n");
        ASSERT_EQ(parsed.messages.size(), c.messages);
        EXPECT_NE(parsed.messages.back().find("trace.txt:3: the trace is cut short here: "), std::string::npos)
            << parsed.messages.back();
        EXPECT_NE(parsed.messages.back().find("zero bytes of padding"), std::string::npos);
    }
}

TEST(CallTreeTest, NestingThatTheLinesBeforeCannotGiveIsReported) {
    ParsedTrace parsed;
    parseTrace(parsed,
               "Lapp/Top;flat()V\n"      // entries are indented at least once
               "    Lapp/Deep;x()V\n"    // three callers missing
               "    -Lapp/Deep;x()V\n"
               "  Lapp/Two;y()V\n"       // while three calls are open
               "     -Lapp/Two;y()V\n"); // deeper than what is open
    EXPECT_EQ(parsed.parser.stats().nestingErrors, 4u);
    EXPECT_EQ(parsed.collapsed,
              "app.Top.flat() 1\n"
              "app.Top.flat();(missing caller);(missing caller);app.Deep.x() 1\n"
              "app.Top.flat();app.Two.y() 1\n");
    ASSERT_EQ(parsed.messages.size(), 4u);
    EXPECT_EQ(parsed.messages[0], "trace.txt:1: an entry without indentation; shown as an outermost call");
    EXPECT_EQ(parsed.messages[1],
              "trace.txt:2: an entry indented by 4 blanks while only 1 call is open; its missing "
              "callers are shown as \"(missing caller)\"");
    EXPECT_EQ(parsed.messages[2], "trace.txt:4: an entry indented by 2 blanks while 3 calls are open; the "
                                  "deeper ones are taken as closed");
    EXPECT_EQ(parsed.messages[3], "trace.txt:5: an exit indented by 5 blanks while 2 calls are open");
}

TEST(CallTreeTest, DeepRecursionMakesOnePathPerDepth) {
    std::string text;
    const int depth = 5000;
    for (int d = 1; d <= depth; ++d) text += std::string(d, ' ') + "Lapp/R;down(I)I\n";
    for (int d = depth; d >= 1; --d) text += std::string(d, ' ') + "-Lapp/R;down(I)I\n";
    ParsedTrace parsed;
    parseTrace(parsed, text);
    EXPECT_EQ(parsed.parser.stats().maxDepth, static_cast<uint64_t>(depth));
    EXPECT_EQ(parsed.parser.tree().size(), static_cast<size_t>(depth) + 1);
    EXPECT_EQ(parsed.parser.tree().frames.size(), 2u);
    // Line d holds d frames.
    size_t lines = 0, at = 0;
    for (size_t end; (end = parsed.collapsed.find('\n', at)) != std::string::npos; at = end + 1) ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(depth));
    EXPECT_EQ(parsed.collapsed.size(), static_cast<size_t>(depth) * (depth + 1) / 2 * 16 + depth * 2);
}

TEST(CallTreeTest, TraceFilesReadWholeOrReportedByName) {
    std::string dir = testing::TempDir();
    std::string path = dir + "kelmora-report-trace.txt";
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(file != nullptr);
        // More than one read buffer, so that lines cross the reads.
        for (int i = 0; i < 20000; ++i) std::fputs(nestedTrace.c_str(), file);
        std::fclose(file);
    }
    Problems problems;
    TraceParser parser(path, problems);
    EXPECT_TRUE(readTraceFile(path, parser, problems));
    std::remove(path.c_str());
    EXPECT_EQ(parser.stats().lines, 240000u);
    EXPECT_EQ(parser.stats().entries, 120000u);
    EXPECT_EQ(parser.tree().size(), 5u);
    EXPECT_EQ(problems.count(), 0u);

    Problems missing;
    TraceParser none(path, missing);
    EXPECT_FALSE(readTraceFile(path, none, missing));
    ASSERT_EQ(missing.count(), 1u);
    EXPECT_EQ(formatProblem(missing.kept()[0]), path + ": cannot be opened: No such file or directory");
}

TEST(CallTreeTest, GarbageNeverBreaksTheTree) {
    // Pieces of real lines and bytes that do not belong, in random order:
    // every entry line that is taken is one call on one path.
    const std::vector<std::string> pieces = {
        " ", "  ", "-", "Lapp/A;", "a()V", "(null)", "\n", "\r\n", std::string(1, '\0'), ";", "(", ")", "[[J", "L;",
        "Warning: Left method that hasn't been entered...", "\t", "\xff", "b(I)I", "Lx;", "\n "};
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        std::string text;
        int count = random() % 200;
        for (int i = 0; i < count; ++i) text += pieces[random() % pieces.size()];
        ParsedTrace parsed;
        parseTrace(parsed, text, 1 + random() % 50);
        const CallTree& tree = parsed.parser.tree();
        uint64_t calls = 0;
        for (size_t i = 1; i < tree.size(); ++i) {
            ASSERT_LT(tree.parent[i], i);
            ASSERT_LT(tree.frame[i], tree.frames.size());
            calls += tree.calls[i];
        }
        EXPECT_EQ(calls, parsed.parser.stats().entries);
        uint64_t lines = 0;
        for (char c : text) lines += c == '\n';
        if (!text.empty() && text.back() != '\n') ++lines;
        EXPECT_EQ(parsed.parser.stats().lines, lines);
        for (const std::string& message : parsed.messages) EXPECT_EQ(message.rfind("trace.txt:", 0), 0u);
    }
}

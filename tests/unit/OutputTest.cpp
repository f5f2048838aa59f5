#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "output/Legends.h"
#include "output/TextFile.h"
#include "output/TraceWriter.h"
#include "tests/TestSupport.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

using TraceWriterTest = AgentTest;

TEST_F(TraceWriterTest, IndentsByDepthAndWritesTextUnchanged) {
    writeTraceLine("Lapp/Main;main([Ljava/lang/String;)V");
    setTraceDepth(3);
    writeTraceLine("Lapp/Job;run%s%d%n()V");
    setTraceDepth(-2);
    writeTraceLine("negative");
    setTraceDepth(200);
    writeTraceLine("deep");
    EXPECT_EQ(traceText(), "Lapp/Main;main([Ljava/lang/String;)V\n"
                           "   Lapp/Job;run%s%d%n()V\n"
                           "negative\n" +
                               std::string(200, ' ') + "deep\n");
}

TEST_F(TraceWriterTest, LongLinesAreWrittenWhole) {
    std::string longLine = "L" + std::string(10000, 'a') + ";m()V";
    setTraceDepth(1);
    writeTraceLine(longLine);
    EXPECT_EQ(traceText(), " " + longLine + "\n");
}

TEST_F(TraceWriterTest, WithoutTraceFileLinesGoToStandardOutput) {
    closeTraceFile();
    setTraceDepth(2);
    CaptureStdout();
    writeTraceLine("Lapp/Job;run()V");
    std::fflush(stdout);
    EXPECT_EQ(GetCapturedStdout(), "  Lapp/Job;run()V\n");
}

TEST(IdentifierTest, Base36WithLowerCaseDigits) {
    struct Case {
        int64_t number;
        const char* id;
    } cases[] = {{0, "0"},     {1, "1"},     {9, "9"},     {10, "a"},     {35, "z"},
                 {36, "10"},   {37, "11"},   {71, "1z"},   {1295, "zz"},  {1296, "100"},
                 {46655, "zzz"}, {2147483647, "zik0zj"}};
    for (const Case& c : cases) EXPECT_EQ(makeId(c.number), c.id) << c.number;
}

TEST(MethodKeyTest, KeysOfInstanceAndStaticMethods) {
    std::string key = "left over";
    methodKey(key, "run", "()V", nullptr, false, "Lapp/Job;");
    EXPECT_EQ(key, "run:<()V>:<(null)>");
    methodKey(key, "main", "([Ljava/lang/String;)V", nullptr, true, "Lapp/Main;");
    EXPECT_EQ(key, "main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Main;");
    methodKey(key, "get", "()Ljava/lang/Object;", "()TT;", false, nullptr);
    EXPECT_EQ(key, "get:<()Ljava/lang/Object;>:<()TT;>");
    methodKey(key, nullptr, nullptr, nullptr, true, nullptr);
    EXPECT_EQ(key, "(null):<(null)>:<(null)>||(null)");
}

using LegendTest = AgentTest;

TEST_F(LegendTest, KeysAreNumberedInOrderOfFirstAppearance) {
    EXPECT_TRUE(recordMethodKey("main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Main;"));
    EXPECT_TRUE(recordMethodKey("run:<()V>:<(null)>"));
    EXPECT_FALSE(recordMethodKey("run:<()V>:<(null)>"));
    // Letter case makes a new key.
    EXPECT_TRUE(recordMethodKey("Run:<()V>:<(null)>"));
    EXPECT_FALSE(recordMethodKey("main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Main;"));
    EXPECT_EQ(state->nextMethodId, 4);
    EXPECT_EQ(methodIdOf("run:<()V>:<(null)>"), 2);
    EXPECT_EQ(methodIdOf("Run:<()V>:<(null)>"), 3);
    EXPECT_EQ(methodIdOf("missing"), 0);

    writeLegends();
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")),
              "1 == main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Main;\n"
              "2 == run:<()V>:<(null)>\n"
              "3 == Run:<()V>:<(null)>\n");
    EXPECT_EQ(state->methodLegend.size(), 0u);
}

TEST_F(LegendTest, ManyKeysGetMultiDigitIdentifiers) {
    for (int i = 0; i < 1300; ++i) recordMethodKey("m" + std::to_string(i) + ":<()V>:<(null)>");
    EXPECT_EQ(methodIdOf("m35:<()V>:<(null)>"), 36);
    writeLegends();
    std::vector<std::string> legend = lines(readFile(dir.file("MethodLegend.txt")));
    ASSERT_EQ(legend.size(), 1300u);
    EXPECT_EQ(legend[9], "a == m9:<()V>:<(null)>");
    EXPECT_EQ(legend[35], "10 == m35:<()V>:<(null)>");
    EXPECT_EQ(legend[1294], "zz == m1294:<()V>:<(null)>");
    EXPECT_EQ(legend[1295], "100 == m1295:<()V>:<(null)>");
}

TEST_F(LegendTest, RunWithoutEventsWritesTwoEmptyFiles) {
    writeLegends();
    EXPECT_TRUE(fileExists(dir.file("ObjectLegend.txt")));
    EXPECT_TRUE(fileExists(dir.file("MethodLegend.txt")));
    EXPECT_EQ(readFile(dir.file("ObjectLegend.txt")), "");
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")), "");
}

TEST_F(LegendTest, ObjectLegendListsEntriesByTag) {
    appendObjectLegend("Lapp/Job;");
    appendObjectLegend("Lapp/Box;|<T:Ljava/lang/Object;>Ljava/lang/Object;");
    EXPECT_EQ(state->nextObjectId, 3);
    writeLegends();
    EXPECT_EQ(readFile(dir.file("ObjectLegend.txt")),
              "1 == Lapp/Job;\n"
              "2 == Lapp/Box;|<T:Ljava/lang/Object;>Ljava/lang/Object;\n");
}

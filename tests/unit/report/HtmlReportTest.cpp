#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "report/HtmlReport.h"
#include "tests/unit/report/ReportTestSupport.h"

namespace {

std::string json(std::string_view text) {
    std::string out;
    appendJsonString(out, text);
    return out;
}

}  // namespace

TEST(JsonStringTest, SafeInsideAScriptElement) {
    EXPECT_EQ(json("app.Job.run()"), "\"app.Job.run()\"");
    EXPECT_EQ(json("</script><!--&"), "\"\\u003c/script\\u003e\\u003c!--\\u0026\"");
    EXPECT_EQ(json("a\"b\\c\n\t"), "\"a\\\"b\\\\c\\u000a\\u0009\"");
    EXPECT_EQ(json(std::string_view("\0x", 2)), "\"\\u0000x\"");
}

TEST(JsonStringTest, Utf8KeptOtherBytesAsLatin1SurrogatesEscaped) {
    EXPECT_EQ(json("Caf\xc3\xa9.\xe2\x82\xac"), "\"Caf\xc3\xa9.\xe2\x82\xac\"");
    EXPECT_EQ(json("Caf\xe9"), "\"Caf\\u00e9\"");             // a lone Latin-1 byte
    EXPECT_EQ(json("\xc3"), "\"\\u00c3\"");                   // a sequence cut short
    EXPECT_EQ(json("\xc0\x80"), "\"\\u00c0\\u0080\"");        // overlong
    // U+1F600 as the VM encodes it: two encoded surrogates.
    EXPECT_EQ(json("\xed\xa0\xbd\xed\xb8\x80"), "\"\\ud83d\\ude00\"");
    EXPECT_EQ(json("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");
}

TEST(HtmlReportTest, PageCarriesTheTreeAndTheLegendsData) {
    ParsedTrace parsed;
    parseTrace(parsed,
               " Lapp/Main;main([Ljava/lang/String;)V\n"
               "  Lapp/Dog;bark()V\n"
               "  -Lapp/Dog;bark()V\n"
               "  Lapp/Dog;bark()V\n"
               "  -Lapp/Dog;bark()V\n"
               "  Lapp/Cat;<init>()V\n"
               "  -Lapp/Cat;<init>()V\n"
               "  Lapp/Main;sum(JJ)J\n"
               "  -Lapp/Main;sum(JJ)J\n"
               "  Lapp/Dog;</script>()V\n");
    MethodLegend methods;
    methods.read = true;
    methods.keys = 4;
    methods.staticMethods.insert("Lapp/Main;main([Ljava/lang/String;)V");
    methods.instanceMethods = {"bark()V", "<init>()V", "sum(JJ)J"};
    ObjectLegend objects;
    objects.read = true;
    objects.receivers = 3;
    objects.classes = {{"Lapp/Cat;", {}, 1}, {"Lapp/Dog;", {}, 2}};
    ReportInput input;
    input.traceName = "run/trace.txt";
    input.traceRead = true;
    input.tree = &parsed.parser.tree();
    input.stats = &parsed.parser.stats();
    input.methods = &methods;
    input.objects = &objects;
    input.problems = &parsed.problems;
    std::string data = reportJson(input);

    EXPECT_NE(data.find("\"lines\":10,\"calls\":6,\"methods\":5,"), std::string::npos) << data;
    EXPECT_NE(data.find("\"receivers\":3"), std::string::npos);
    EXPECT_NE(data.find("\"openAtEnd\":2"), std::string::npos);
    // Frames in order of first appearance after the placeholder.
    EXPECT_NE(data.find("\"frames\":[\"(missing caller)\",\"app.Main.main(java.lang.String[])\",\"app.Dog.bark()\","
                        "\"app.Cat.\\u003cinit\\u003e()\",\"app.Main.sum(long,long)\","
                        "\"app.Dog.\\u003c/script\\u003e()\"]"),
              std::string::npos)
        << data;
    EXPECT_NE(data.find("\"kinds\":\"?siii?\",\"frameReceivers\":[0,0,2,1,0,0]"), std::string::npos) << data;
    // Depth-first, heaviest first: main, bark (2 calls), then the others.
    EXPECT_NE(data.find("\"parent\":[0,0,1,1,1,1],\"frame\":[0,1,2,3,4,5],\"calls\":[0,1,2,1,1,1]"),
              std::string::npos)
        << data;
    EXPECT_NE(data.find("\"classes\":[[\"app.Dog\",2,\"\"],[\"app.Cat\",1,\"\"]]"), std::string::npos) << data;

    std::FILE* out = std::tmpfile();
    ASSERT_TRUE(out != nullptr);
    ASSERT_TRUE(writeHtmlReport(input, out));
    std::rewind(out);
    std::string page;
    char buffer[8192];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, out)) > 0;) page.append(buffer, got);
    std::fclose(out);
    EXPECT_EQ(page.find("/*KELMORA-REPORT-DATA*/"), std::string::npos);
    EXPECT_NE(page.find("const DATA = " + data + ";"), std::string::npos);
    EXPECT_EQ(page.find("</script>()"), std::string::npos);
    // Nothing on the page may reach out: no URL outside the page itself.
    EXPECT_EQ(page.find("://"), std::string::npos);
    EXPECT_EQ(page.find("src="), std::string::npos);
}

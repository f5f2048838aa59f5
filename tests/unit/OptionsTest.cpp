#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "options/Options.h"
#include "tests/TestSupport.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define KELMORA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELMORA_TEST_ASAN 1
#endif
#endif

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

using Entries = std::vector<std::string>;

std::string echoOf(const Entries& pieces) {
    std::string out;
    for (const std::string& piece : pieces) out += "Found option: " + piece + "\n";
    return out;
}

class OptionsTest : public AgentTest {
protected:
    // Runs the whole option path on text with fresh lists and returns what
    // it printed.
    std::string parse(const std::string& text) {
        state->filters.clear();
        state->activations.clear();
        CaptureStdout();
        parseAgentOptions(text.c_str());
        return GetCapturedStdout();
    }
    Entries filters() const { return state->filters.items; }
    Entries activations() const { return state->activations.items; }
};

TEST_F(OptionsTest, TwoOptionsAreEchoedInOrderAndFillBothLists) {
    std::string out = parse("filter=Ljava/*activation=Lapp/Main;main;([Ljava/lang/String;)V");
    EXPECT_EQ(out,
              "Found option: filter=Ljava/\n"
              "Found option: activation=Lapp/Main;main;([Ljava/lang/String;)V\n");
    EXPECT_EQ(filters(), Entries({"Ljava/"}));
    EXPECT_EQ(activations(), Entries({"Lapp/Main;main;([Ljava/lang/String;)V"}));
}

TEST_F(OptionsTest, KeywordsAreFoundInAnyCaseWithFilterThenModeThenActivation) {
    struct Case {
        std::string option;
        Entries filters;
        Entries activations;
    };
    const std::vector<Case> cases = {
        {"FILTER=Ljava/Lang/", {"Ljava/Lang/"}, {}},
        {"fIlTeR=LSun/", {"LSun/"}, {}},
        {"ACTIVATION=Lapp/Job;Run;()V", {}, {"Lapp/Job;Run;()V"}},
        // The keyword need not start the option.
        {"xfilter=a", {"a"}, {}},
        // "mode" beats "activation", wherever it is.
        {"activationmode=x", {}, {}},
        {"activation=Lapp/Model;run;()V", {}, {}},
        {"MODE=fast", {}, {}},
        // "filter" beats everything: the "=" is looked for from index 6 and
        // the one at index 10 is found.
        {"activation=Lapp/Filter;run;()V", {"Lapp/Filter;run;()V"}, {}},
        {"filter=Lapp/Model;", {"Lapp/Model;"}, {}},
        // No keyword: echoed and otherwise ignored.
        {"verbose=yes", {}, {}},
        {"activate=Lapp/Job;run;()V", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        EXPECT_EQ(parse(c.option), echoOf({c.option}));
        EXPECT_EQ(filters(), c.filters);
        EXPECT_EQ(activations(), c.activations);
    }
}

TEST_F(OptionsTest, ModeRewriteAndNorewriteSwitchTheRewriteTheLastOneDeciding) {
    struct Case {
        std::string options;
        bool rewrite;
    };
    const std::vector<Case> cases = {
        {"filter=Ljava/", false},
        {"mode=rewrite", true},
        {" MODE = ReWrite ", true},
        {"mode=rewrite*mode=norewrite", false},
        {"mode=norewrite*mode=rewrite", true},
        {"mode=rewrite*mode=fast", true},
        {"mode=rewrites", false},
        {"mode=", false},
        {"filter=mode=rewrite", false},  // a filter entry, not a mode
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        agentState->rewriteClasses = false;
        parse(c.options);
        EXPECT_EQ(agentState->rewriteClasses, c.rewrite);
    }
    // Echoed as they stand, like every option.
    EXPECT_EQ(parse("mode=norewrite"), echoOf({"mode=norewrite"}));
}

TEST_F(OptionsTest, StarsOnlySeparateAndEmptyPiecesVanish) {
    struct Case {
        const char* text;
        Entries pieces;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"*", {}},
        {"***", {}},
        {"a", {"a"}},
        {"*a", {"a"}},
        {"a*", {"a"}},
        {"a**b", {"a", "b"}},
        {"**a*b**c**", {"a", "b", "c"}},
        // Pieces are not trimmed.
        {" * ", {" ", " "}},
        {"a,b", {"a,b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(splitAtSeparator(c.text, '*').items, c.pieces);
        EXPECT_EQ(parse(c.text), echoOf(c.pieces));
    }
    EXPECT_EQ(splitAtSeparator(nullptr, '*').size(), 0u);
    EXPECT_EQ(splitAtSeparator("a,,b,", ',').items, Entries({"a", "b"}));

    EXPECT_EQ(parse("*filter=a**activation=b*"), echoOf({"filter=a", "activation=b"}));
    EXPECT_EQ(filters(), Entries({"a"}));
    EXPECT_EQ(activations(), Entries({"b"}));
}

TEST_F(OptionsTest, NullTextDoesNothing) {
    CaptureStdout();
    parseAgentOptions(nullptr);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(state->filters.empty());
    EXPECT_TRUE(state->activations.empty());
}

TEST_F(OptionsTest, OptionsAppendInOrderAfterEarlierEntries) {
    state->filters.append("Learlier/");
    CaptureStdout();
    parseAgentOptions("filter=a,b*activation=X;m;()V*FILTER=c*mode=1*filter=d");
    parseAgentOptions("filter=e*activation=Y;n;()V");
    GetCapturedStdout();
    EXPECT_EQ(filters(), Entries({"Learlier/", "a", "b", "c", "d", "e"}));
    EXPECT_EQ(activations(), Entries({"X;m;()V", "Y;n;()V"}));
}

TEST_F(OptionsTest, ApplyOptionsTakesOnlyTheFirstCountOptions) {
    StringList options;
    options.append("filter=a");
    options.append("filter=b");
    applyOptions(options, 1);
    EXPECT_EQ(filters(), Entries({"a"}));
    applyOptions(options, 0);
    EXPECT_EQ(filters(), Entries({"a"}));
    // A count beyond the list is held to its size.
    applyOptions(options, 5);
    EXPECT_EQ(filters(), Entries({"a", "a", "b"}));
}

TEST_F(OptionsTest, ListValuesAreCutTrimmedAndKeptInOrder) {
    struct Case {
        std::string option;
        Entries filters;
        Entries activations;
    };
    const std::vector<Case> cases = {
        {"filter=Ljava/,Lsun/", {"Ljava/", "Lsun/"}, {}},
        {"filter = Ljava/ , Lsun/", {"Ljava/", "Lsun/"}, {}},
        {"filter=a,,b", {"a", "", "b"}, {}},
        {"filter=,a", {"", "a"}, {}},
        {"filter=,", {""}, {}},
        {"filter=a,", {"a"}, {}},
        {"filter=a, ", {"a"}, {}},
        {"filter=a, ,b", {"a", "", "b"}, {}},
        {"filter=", {}, {}},
        {"filter=   ", {}, {}},
        {"filter", {}, {}},
        {"filterLjava/", {}, {}},
        // Only an "=" at the keyword's length or later counts.
        {"ab=filter", {}, {}},
        {"x=activation", {}, {}},
        {"filte=filter=x", {"x"}, {}},
        // ... whatever the position of the keyword.
        {"abcdefg=h,filter", {"h", "filter"}, {}},
        {"  filter=a  ", {"a"}, {}},
        {"activation=Lapp/Job;run;()V@Lapp/Main;main;([Ljava/lang/String;)V",
         {},
         {"Lapp/Job;run;()V", "Lapp/Main;main;([Ljava/lang/String;)V"}},
        {"activation=A;m;()V,B;n;()V", {}, {"A;m;()V,B;n;()V"}},
        {"activation=@A;m;()V@@ B;n;()V @", {}, {"", "A;m;()V", "", "B;n;()V"}},
        {"activation=", {}, {}},
        // Later "=" signs belong to the value.
        {"filter=a=b,=", {"a=b", "="}, {}},
        // A carriage return is no blank...
        {"filter=a\r,b", {"a\r", "b"}, {}},
        {"filter=a,\r", {"a", "\r"}, {}},
        {"filter=\r", {"\r"}, {}},
        // ... while tab and line feed are.
        {"\tfilter=\ta\n,\tb\t\n", {"a", "b"}, {}},
        {"filter=a,\n\t", {"a"}, {}},
        {"filter=\va\f", {"\va\f"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.option));
        EXPECT_EQ(parse(c.option), echoOf({c.option}));
        EXPECT_EQ(filters(), c.filters);
        EXPECT_EQ(activations(), c.activations);
    }
}

TEST_F(OptionsTest, TrimRangeCutsInclusiveRangesAndDropsBlanks) {
    struct Case {
        std::string text;
        long start;
        long end;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", 0, -1, ""},
        {"   ", 0, -1, ""},
        {" \t\n", 0, -1, ""},
        {"  ab  ", 0, -1, "ab"},
        {"\n\ta b\t\n", 0, -1, "a b"},
        {"\rab\r", 0, -1, "\rab\r"},
        {"\va\f", 0, -1, "\va\f"},
        {"abcdef", 2, 3, "cd"},
        {"abcdef", 3, 3, "d"},
        {"abcdef", 0, 0, "a"},
        {"abcdef", 5, 5, "f"},
        {"abcdef", 4, 3, ""},
        {"a  b", 1, 2, ""},
        {"ab cd", 1, 3, "b c"},
        {"x  y  z", 1, 5, "y"},
        // Out-of-range indices are held to the text.
        {"abc", 0, 10, "abc"},
        {"abc", 3, -1, ""},
        {"abc", 7, -1, ""},
        {"abc", -3, 1, "ab"},
        {"abc", 0, -2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text) + " " + std::to_string(c.start) + ".." +
                     std::to_string(c.end));
        EXPECT_EQ(trimRange(c.text, c.start, c.end), c.expected);
    }
}

TEST_F(OptionsTest, LowercaseCopyChangesOnlyAsciiCapitals) {
    std::string all;
    std::string expected;
    for (int byte = 0; byte < 256; ++byte) {
        all += static_cast<char>(byte);
        expected += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
    }
    EXPECT_EQ(lowercaseCopy(all), expected);
    EXPECT_EQ(lowercaseCopy(""), "");

    // Bytes above 127 pass through the whole path unchanged.
    std::string option = "\xff" "FILTER\xc3\xa9=L\xc3\xa9t\xe9/,\x80\xff ,\xa0";
    EXPECT_EQ(parse(option), echoOf({option}));
    EXPECT_EQ(filters(), Entries({"L\xc3\xa9t\xe9/", "\x80\xff", "\xa0"}));
}

TEST_F(OptionsTest, LongOptionsAndPercentSignsAreEchoedWhole) {
    std::string value(100 * 1024, 'x');
    for (std::size_t at = 0; at < value.size(); at += 1000) value[at] = '%';
    value += "%s%n%d";
    std::string first = "filter=" + value;
    std::string second = "mode=%s%s%s%s%s";
    std::string third = "activation=" + value + "@Z;z;()V";
    EXPECT_EQ(parse(first + "*" + second + "*" + third), echoOf({first, second, third}));
    EXPECT_EQ(filters(), Entries({value}));
    EXPECT_EQ(activations(), Entries({value, "Z;z;()V"}));
}

#if defined(__linux__) && GTEST_HAS_DEATH_TEST && !defined(KELMORA_TEST_ASAN)
// Run in a child process: limits the address space to what is in use plus
// 16 MB, so that copying a larger option fails, then parses text.
[[noreturn]] void parseWithLittleMemory(const std::string& text) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                  (rlim_t{16} << 20);
    rlimit limit{room, room};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
    parseAgentOptions(text.c_str());
    std::_Exit(agentState->filters.empty() ? 0 : 3);
}

// The address-space limit would break the sanitizers' shadow memory.
TEST_F(OptionsTest, OutOfMemoryIsReportedAndNotThrown) {
    const std::string text = "filter=" + std::string(std::size_t{64} << 20, 'x');
    EXPECT_EXIT(parseWithLittleMemory(text), ::testing::ExitedWithCode(0),
                "\\[ERROR\\] Options: .*out of memory");
}
#endif

}  // namespace

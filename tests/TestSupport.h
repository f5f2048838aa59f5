// Shared pieces of the unit tests: a fresh agent over a fake VM in a fresh
// working directory, and small file helpers.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "agent/AgentState.h"
#include "tests/FakeJvmti.h"

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
std::vector<std::string> lines(const std::string& text);

// How often each event line of a trace was written as an entry and as an
// exit ("-" dropped), indentation left out.
struct CallCounts {
    std::map<std::string, int> entries;
    std::map<std::string, int> exits;
};
CallCounts countCalls(const std::string& trace);

// What a process that died now would leave of a file the agent writes: its
// text up to the blanks that pad it after the last line. A NUL byte, a last
// line without its line end or more than 4 MiB of padding fail the test.
std::string textBeforePadding(const std::string& path);

// Ends whatever agent a test left behind: not live, trace closed, record freed.
void discardAgentState();

// Makes a new empty directory and makes it the working directory for the
// life of the object; the old working directory is restored afterwards.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const;

private:
    std::string path_;
    std::string previous_;
};

// A live agent state over a fake VM: errors go to errorLog.txt in the
// scratch directory, trace lines to trace.txt there, and a raw monitor
// exists.
class AgentTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A method event as the VM posts it, on `thread`.
    void enter(jthread thread, jmethodID method);
    void leave(jthread thread, jmethodID method, bool byException = false);

    // Closes the trace file and returns what was written to it.
    std::string traceText();
    std::string errorLogText();

    FakeJvm vm;
    ScratchDirectory dir;
    AgentState* state = nullptr;
};

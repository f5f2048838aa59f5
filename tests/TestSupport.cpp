#include "tests/TestSupport.h"

#include "tracing/ThreadFrames.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#define getcwd _getcwd
#define chdir _chdir
#else
#include <unistd.h>
#endif

#include <filesystem>

#include "output/Legends.h"
#include "output/TextFile.h"
#include "output/TraceWriter.h"
#include "tracing/MethodEvents.h"

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
#ifdef _WIN32
    // The agent writes text-mode streams, CR LF here; the tests compare the
    // text, and Win32LayoutTest checks the line ends themselves.
    std::string text = content.str();
    std::string::size_type at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos) text.erase(at, 1);
    return text;
#else
    return content.str();
#endif
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        result.push_back(line);
    }
    return result;
}

std::string textBeforePadding(const std::string& path) {
    std::string text = readFile(path);
    if (text.find('\0') != std::string::npos) {
        ADD_FAILURE() << path << ": NUL byte at " << text.find('\0');
    }
    std::string::size_type end = text.find_last_not_of(' ');
    end = end == std::string::npos ? 0 : end + 1;
    if (end > 0 && text[end - 1] != '\n') {
        ADD_FAILURE() << path << ": the last line has no line end";
    }
    if (text.size() - end > (std::string::size_type(4) << 20)) {
        ADD_FAILURE() << path << ": " << text.size() - end << " bytes of padding";
    }
    text.resize(end);
    return text;
}

ScratchDirectory::ScratchDirectory() {
    namespace fs = std::filesystem;
    previous_ = fs::current_path().string();
    fs::path base = fs::temp_directory_path();
    for (int attempt = 0;; ++attempt) {
        fs::path candidate = base / ("kelmora-test-" + std::to_string(std::rand()) + "-" +
                                     std::to_string(attempt));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.string();
            break;
        }
        if (attempt > 1000) throw std::runtime_error("cannot make a scratch directory");
    }
    fs::current_path(path_);
}

ScratchDirectory::~ScratchDirectory() {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::current_path(previous_, error);
    fs::remove_all(path_, error);
}

std::string ScratchDirectory::file(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
}

CallCounts countCalls(const std::string& trace) {
    CallCounts counts;
    for (const std::string& line : lines(trace)) {
        std::string text = line.substr(line.find_first_not_of(' '));
        if (text[0] == '-') {
            ++counts.exits[text.substr(1)];
        } else {
            ++counts.entries[text];
        }
    }
    return counts;
}

void AgentTest::SetUp() {
    state = createAgentState();
    ASSERT_NE(state, nullptr);
    state->jvmti = vm.jvmti();
    state->errorLogPath = dir.file("errorLog.txt");
    state->traceDir = dir.path();
    std::string reason;
    state->traceFile = TextFile::create(dir.file("trace.txt"), TextFile::kTraceStep, reason);
    ASSERT_TRUE(state->traceFile != nullptr) << reason;
    openLegendFiles(dir.path());
    state->activationDepth = 1;
    ASSERT_EQ(vm.jvmti()->CreateRawMonitor("test monitor", &state->monitor), JVMTI_ERROR_NONE);
    setAgentLive(true);
}

void discardAgentState() {
    setAgentLive(false);
    // The test thread's frames would otherwise pair with the next test's
    // methods, which may be allocated at the same addresses.
    currentThreadFrames().clear();
    if (agentState == nullptr) return;
    destroyAgentState(agentState);
}

void AgentTest::TearDown() { discardAgentState(); }

void AgentTest::enter(jthread thread, jmethodID method) {
    onMethodEntry(vm.jvmti(), vm.jni(), thread, method);
}

void AgentTest::leave(jthread thread, jmethodID method, bool byException) {
    jvalue none;
    none.j = 0;
    onMethodExit(vm.jvmti(), vm.jni(), thread, method, byException ? JNI_TRUE : JNI_FALSE, none);
}

std::string AgentTest::traceText() {
    closeTraceFile();
    return readFile(dir.file("trace.txt"));
}

std::string AgentTest::errorLogText() { return readFile(dir.file("errorLog.txt")); }

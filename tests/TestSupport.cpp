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

void AgentTest::SetUp() {
    state = createAgentState();
    ASSERT_NE(state, nullptr);
    state->jvmti = vm.jvmti();
    state->errorLogPath = dir.file("errorLog.txt");
    state->traceDir = dir.path();
    state->traceFile = std::fopen(dir.file("trace.txt").c_str(), "w");
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
    if (agentState->traceFile != nullptr) std::fclose(agentState->traceFile);
    destroyAgentState(agentState);
}

void AgentTest::TearDown() { discardAgentState(); }

std::string AgentTest::traceText() {
    if (state->traceFile != nullptr) {
        std::fclose(state->traceFile);
        state->traceFile = nullptr;
    }
    return readFile(dir.file("trace.txt"));
}

std::string AgentTest::errorLogText() { return readFile(dir.file("errorLog.txt")); }

// What only the Windows builds can show: the CR LF line ends of the
// text-mode files and, in the 32-bit build, the layouts a 32-bit JVM expects
// and kelmora.dll loaded and driven the way such a JVM does it. A real 64-bit
// JVM drives the 64-bit DLL in tests/windows.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "agent/Agent.h"
#include "agent/AgentState.h"
#include "agent/ErrorReporting.h"
#include "tests/TestSupport.h"

static_assert(sizeof(jint) == 4 && sizeof(jlong) == 8 && sizeof(jbyte) == 1,
              "JNI types as a Windows JVM has them");
static_assert(sizeof(jvmtiCapabilities) == 16, "the capability set is four 32-bit words");

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

#ifndef _WIN64
// Calls `function` with `words` 32-bit arguments (args[0] first) the way a
// 32-bit JVM calls an agent, stores what it returned in *result, and returns
// how many bytes of arguments the callee left on the stack: 0 for a stdcall
// function, which pops its own, and 4 * words for a cdecl one.
extern "C" int kelmoraCallStdcall(const void* function, int words, const uint32_t* args,
                                  uint32_t* result);
asm(R"(
    .text
    .globl _kelmoraCallStdcall
_kelmoraCallStdcall:
    push %ebx
    push %esi
    mov %esp, %ebx
    mov 16(%ebx), %ecx
    mov 20(%ebx), %esi
1:  test %ecx, %ecx
    jz 2f
    push -4(%esi,%ecx,4)
    dec %ecx
    jmp 1b
2:  call *12(%ebx)
    mov 24(%ebx), %ecx
    mov %eax, (%ecx)
    mov %ebx, %eax
    sub %esp, %eax
    mov %ebx, %esp
    pop %esi
    pop %ebx
    ret
)");

#endif  // !_WIN64

namespace {

// The file's bytes as written, CR included.
std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The agent's files are text-mode streams: CR LF on Windows.
using CrLfTest = AgentTest;

TEST_F(CrLfTest, ErrorLogLinesEndInCrLf) {
    checkJvmtiError(JVMTI_ERROR_INVALID_METHODID, "first");
    checkJvmtiError(JVMTI_ERROR_WRONG_PHASE, nullptr);
    EXPECT_EQ(readBytes(state->errorLogPath),
              "[ERROR] JVMTI: 23 (JVMTI_ERROR_INVALID_METHODID): first\r\n"
              "[ERROR] JVMTI: 112 (JVMTI_ERROR_WRONG_PHASE): \r\n");
}

#ifndef _WIN64
uint32_t word(const void* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// Whether the text is non-empty and every line of it ends in CR LF.
::testing::AssertionResult linesEndInCrLf(const std::string& text) {
    if (text.empty()) return ::testing::AssertionFailure() << "no text";
    if (text.back() != '\n') return ::testing::AssertionFailure() << "last line unterminated";
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        if (at == 0 || text[at - 1] != '\r') {
            return ::testing::AssertionFailure() << "bare LF at byte " << at << " of\n" << text;
        }
    }
    return ::testing::AssertionSuccess();
}

uint32_t capabilityWord(const jvmtiCapabilities& capabilities, int index) {
    uint32_t words[4];
    std::memcpy(words, &capabilities, sizeof words);
    return words[index];
}

void* callbackSlot(const FakeJvm& vm, jvmtiEvent event) {
    void* value = nullptr;
    std::memcpy(&value, vm.callbackTable.data() + (event - JVMTI_MIN_EVENT_TYPE_VAL) * 4, 4);
    return value;
}

class Win32LoadTest : public ::testing::Test {
protected:
    void TearDown() override {
        discardAgentState();
    }

    FakeJvm vm;
    ScratchDirectory dir;
};

TEST_F(Win32LoadTest, LoadHandsTheVmThe32BitLayouts) {
    CaptureStdout();
    jint loaded = Agent_OnLoad(vm.javaVm(), nullptr, nullptr);
    GetCapturedStdout();
    EXPECT_EQ(loaded, 0);

    ASSERT_TRUE(vm.capabilities.has_value());
    EXPECT_EQ(capabilityWord(*vm.capabilities, 0), 0x03004801u);
    for (int index = 1; index < 4; ++index) EXPECT_EQ(capabilityWord(*vm.capabilities, index), 0u);

    // The JVMTI 1.0 table: 35 slots of 4 bytes, MethodEntry at byte 60,
    // MethodExit at byte 64, and VMInit (byte 0), FieldModification (byte
    // 56) and NativeMethodBind (byte 68), which set up the rewrite.
    ASSERT_EQ(vm.callbackTableSize, 140);
    ASSERT_EQ(vm.callbackTable.size(), 140u);
    EXPECT_NE(callbackSlot(vm, JVMTI_EVENT_METHOD_ENTRY), nullptr);
    EXPECT_NE(callbackSlot(vm, JVMTI_EVENT_METHOD_EXIT), nullptr);
    EXPECT_NE(callbackSlot(vm, JVMTI_EVENT_VM_INIT), nullptr);
    EXPECT_NE(callbackSlot(vm, JVMTI_EVENT_FIELD_MODIFICATION), nullptr);
    EXPECT_NE(callbackSlot(vm, JVMTI_EVENT_NATIVE_METHOD_BIND), nullptr);
    int setSlots = 0;
    for (std::size_t offset = 0; offset < 140; offset += 4) {
        void* value;
        std::memcpy(&value, vm.callbackTable.data() + offset, 4);
        if (value != nullptr) ++setSlots;
    }
    EXPECT_EQ(setSlots, 5);
    EXPECT_EQ(agentState->traceDir, dir.path());
    EXPECT_EQ(agentState->errorLogPath, dir.path() + "\\errorLog.txt");

    CaptureStdout();
    Agent_OnUnload(vm.javaVm());
    GetCapturedStdout();
}

// kelmora.dll as a 32-bit JVM uses it: loaded by path, the entry points
// looked up by their decorated names and called, the callbacks it installed
// called back, all in the stdcall convention.
class DllTest : public ::testing::Test {
protected:
    void SetUp() override {
        char exe[MAX_PATH];
        DWORD length = GetModuleFileNameA(nullptr, exe, MAX_PATH);
        ASSERT_GT(length, 0u);
        std::string path(exe, length);
        path = path.substr(0, path.find_last_of("\\/") + 1) + "kelmora.dll";
        dll = LoadLibraryA(path.c_str());
        ASSERT_NE(dll, nullptr) << "cannot load " << path << ", error " << GetLastError();
    }
    void TearDown() override {
        if (dll != nullptr) FreeLibrary(dll);
    }

    const void* entry(const char* name) {
        return reinterpret_cast<const void*>(GetProcAddress(dll, name));
    }

    HMODULE dll = nullptr;
    FakeJvm vm;
    ScratchDirectory dir;
};

TEST_F(DllTest, EntryPointsAreFoundOnlyUnderTheirDecoratedNames) {
    EXPECT_NE(entry("_Agent_OnLoad@12"), nullptr);
    EXPECT_NE(entry("_Agent_OnUnload@4"), nullptr);
    EXPECT_EQ(entry("Agent_OnLoad@12"), nullptr);
    EXPECT_EQ(entry("Agent_OnUnload@4"), nullptr);
    EXPECT_EQ(entry("Agent_OnLoad"), nullptr);
    EXPECT_EQ(entry("Agent_OnUnload"), nullptr);
}

TEST_F(DllTest, TracedRunThroughTheDllIsStdcallAndWritesCrLfFiles) {
    const void* onLoad = entry("_Agent_OnLoad@12");
    const void* onUnload = entry("_Agent_OnUnload@4");
    ASSERT_NE(onLoad, nullptr);
    ASSERT_NE(onUnload, nullptr);

    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    // One failing load call, so that the error log gets a line too.
    vm.fail(Call::SetEventNotificationMode, JVMTI_ERROR_WRONG_PHASE);

    uint32_t result = 0xdeadbeef;
    const char* options = "filter=Ljava/";
    const uint32_t loadArgs[] = {word(vm.javaVm()), word(options), 0};
    // Checked once stdout is no longer captured, or a failure would not show.
    CaptureStdout();
    int leftOnStack = kelmoraCallStdcall(onLoad, 3, loadArgs, &result);
    std::string loadOutput = GetCapturedStdout();
    EXPECT_EQ(leftOnStack, 0);
    EXPECT_EQ(result, 0u);
    EXPECT_NE(loadOutput.find("Begin Kelmora logging."), std::string::npos) << loadOutput;
    // The DLL keeps a state of its own; the test program's stays untouched.
    EXPECT_EQ(agentState, nullptr);

    // The VM calls the callbacks it was handed in the same convention.
    ASSERT_EQ(vm.callbackTableSize, 140);
    const void* onEntry = callbackSlot(vm, JVMTI_EVENT_METHOD_ENTRY);
    const void* onExit = callbackSlot(vm, JVMTI_EVENT_METHOD_EXIT);
    ASSERT_NE(onEntry, nullptr);
    ASSERT_NE(onExit, nullptr);
    const uint32_t entryArgs[] = {word(vm.jvmti()), word(vm.jni()), word(thread), word(run)};
    EXPECT_EQ(kelmoraCallStdcall(onEntry, 4, entryArgs, &result), 0);
    // MethodExit's last two: the jboolean widened to a word, the jvalue's 8 bytes.
    const uint32_t exitArgs[] = {word(vm.jvmti()), word(vm.jni()), word(thread), word(run),
                                 JNI_FALSE, 0, 0};
    EXPECT_EQ(kelmoraCallStdcall(onExit, 7, exitArgs, &result), 0);

    const uint32_t unloadArgs[] = {word(vm.javaVm())};
    CaptureStdout();
    leftOnStack = kelmoraCallStdcall(onUnload, 1, unloadArgs, &result);
    std::string unloadOutput = GetCapturedStdout();
    EXPECT_EQ(leftOnStack, 0);
    EXPECT_NE(unloadOutput.find("Kelmora-Logging exited cleanly."), std::string::npos)
        << unloadOutput;

    EXPECT_EQ(readBytes(dir.file("trace.txt")), " Lapp/Job;run()V\r\n -Lapp/Job;run()V\r\n");
    EXPECT_EQ(readBytes(dir.file("MethodLegend.txt")), "1 == run:<()V>:<(null)>\r\n");
    EXPECT_EQ(readBytes(dir.file("ObjectLegend.txt")), "1 == Lapp/Job;\r\n");
    std::string errors = readBytes(dir.file("errorLog.txt"));
    EXPECT_TRUE(linesEndInCrLf(errors));
    EXPECT_NE(errors.find("Cannot register MethodEntry notification\r\n"), std::string::npos)
        << errors;
    EXPECT_EQ(vm.outstandingTexts(), 0);
    EXPECT_TRUE(vm.disposed);
}

#endif  // !_WIN64

}  // namespace

#endif  // _WIN32

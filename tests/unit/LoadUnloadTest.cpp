#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "agent/Agent.h"
#include "agent/AgentState.h"
#include "instrument/ClassFileHook.h"
#include "instrument/HookField.h"
#include "output/Legends.h"
#include "output/TraceWriter.h"
#include "tests/TestSupport.h"
#include "agent/ErrorReporting.h"
#include "tracing/MethodEvents.h"

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

namespace {

// The VM's function of the hook method, as the fake binds it.

class LoadUnloadTest : public ::testing::Test {
protected:
    void TearDown() override {
        discardAgentState();
        setUnloadDrainTimeoutMs(5000);
    }

    // Loads with the options, returning what was printed on standard output.
    std::string load(const char* options) {
        CaptureStdout();
        jint result = Agent_OnLoad(vm.javaVm(), const_cast<char*>(options), nullptr);
        std::string out = GetCapturedStdout();
        // Checked once the capture has ended, or a failure's message is lost.
        EXPECT_EQ(result, 0);
        return out;
    }
    std::string unload() {
        CaptureStdout();
        Agent_OnUnload(vm.javaVm());
        return GetCapturedStdout();
    }

    FakeJvm vm;
    ScratchDirectory dir;
};

const char* const kDatePattern =
    "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n";

TEST_F(LoadUnloadTest, LoadRegistersWithTheVmInOrder) {
    writeFile(dir.file("errorLog.txt"), "old errors\n");
    writeFile(dir.file("trace.txt"), "old trace\n");
    writeFile(dir.file("MethodLegend.txt"), "1 == old:<()V>:<(null)>\n");
    writeFile(dir.file("ObjectLegend.txt"), "1 == Lold/Object;\n");
    std::string out = load("filter=Ljava/*activation=Lapp/Main;main;([Ljava/lang/String;)V");

    EXPECT_TRUE(std::regex_match(out, std::regex("Found option: filter=Ljava/\n"
                                                 "Found option: activation=Lapp/Main;main;"
                                                 "\\(\\[Ljava/lang/String;\\)V\n"
                                                 "Time: " +
                                                 std::string(kDatePattern) +
                                                 ". Begin Kelmora logging.\n")))
        << out;
    EXPECT_FALSE(fileExists(dir.file("errorLog.txt")));
    // All three replaced at load, and empty so far but for their padding.
    EXPECT_EQ(textBeforePadding(dir.file("trace.txt")), "");
    EXPECT_EQ(textBeforePadding(dir.file("MethodLegend.txt")), "");
    EXPECT_EQ(textBeforePadding(dir.file("ObjectLegend.txt")), "");
    ASSERT_NE(agentState, nullptr);
    EXPECT_EQ(agentState->jvmti, vm.jvmti());
    EXPECT_EQ(agentState->activationDepth, 1);
    EXPECT_EQ(agentState->filters.items, std::vector<std::string>{"Ljava/"});
    EXPECT_EQ(agentState->activations.items,
              std::vector<std::string>{"Lapp/Main;main;([Ljava/lang/String;)V"});
    EXPECT_TRUE(isAgentLive());

    // The registration in its order, then what the agent can do without:
    // reading bytecode and constant pools, native bindings and class
    // retransformation, the class-unload event that method records need,
    // and with them the events of the rewrite: the hook method's binding
    // and VMInit (after asking which VM this is: how it keeps tags).
    std::vector<Call> log = vm.callLog();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(std::vector<Call>(log.begin(), log.begin() + 6),
              (std::vector<Call>{Call::GetEnv, Call::AddCapabilities, Call::SetEventCallbacks,
                                 Call::SetEventNotificationMode, Call::SetEventNotificationMode,
                                 Call::CreateRawMonitor}));
    std::vector<Call> optional;
    for (std::size_t i = 6; i < log.size(); ++i) {
        if (log[i] != Call::Deallocate) optional.push_back(log[i]);
    }
    EXPECT_EQ(optional, (std::vector<Call>{Call::GetPotentialCapabilities, Call::AddCapabilities,
                                           Call::GetExtensionEvents,
                                           Call::SetExtensionEventCallback,
                                           Call::GetSystemProperty, Call::GetSystemProperty,
                                           Call::SetEventNotificationMode,
                                           Call::SetEventNotificationMode}));
    EXPECT_EQ(vm.outstandingTexts(), 0);
    ASSERT_EQ(vm.laterCapabilities.size(), 1u);
    jvmtiCapabilities later;
    std::memset(&later, 0, sizeof later);
    later.can_get_bytecodes = 1;
    later.can_get_constant_pool = 1;
    later.can_generate_native_method_bind_events = 1;
    later.can_retransform_classes = 1;
    later.can_generate_field_modification_events = 1;
    EXPECT_EQ(std::memcmp(&vm.laterCapabilities[0], &later, sizeof later), 0);
    EXPECT_TRUE(agentState->retransformClasses);
    EXPECT_NE(vm.classUnloadCallback, nullptr);

    ASSERT_TRUE(vm.capabilities.has_value());
    uint32_t words[4];
    static_assert(sizeof(jvmtiCapabilities) == sizeof words, "capabilities are four words");
    std::memcpy(words, &*vm.capabilities, sizeof words);
    EXPECT_EQ(words[0], 0x03004801u);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(words[2], 0u);
    EXPECT_EQ(words[3], 0u);

    // A zeroed JVMTI 1.0 table: 35 slots, only the two method events and the
    // rewrite's VMInit, NativeMethodBind and FieldModification set (its
    // ClassFileLoadHook waits for VMInit).
    ASSERT_EQ(vm.callbackTableSize, static_cast<jint>(35 * sizeof(void*)));
    for (std::size_t slot = 0; slot < 35; ++slot) {
        void* value;
        std::memcpy(&value, vm.callbackTable.data() + slot * sizeof(void*), sizeof value);
        if (slot == JVMTI_EVENT_METHOD_ENTRY - JVMTI_MIN_EVENT_TYPE_VAL) {
            EXPECT_EQ(value, reinterpret_cast<void*>(&onMethodEntry));
        } else if (slot == JVMTI_EVENT_METHOD_EXIT - JVMTI_MIN_EVENT_TYPE_VAL) {
            EXPECT_EQ(value, reinterpret_cast<void*>(&onMethodExit));
        } else if (slot == JVMTI_EVENT_VM_INIT - JVMTI_MIN_EVENT_TYPE_VAL) {
            EXPECT_EQ(value, reinterpret_cast<void*>(&onVmInit));
        } else if (slot == JVMTI_EVENT_NATIVE_METHOD_BIND - JVMTI_MIN_EVENT_TYPE_VAL) {
            EXPECT_EQ(value, reinterpret_cast<void*>(&onNativeMethodBind));
        } else if (slot == JVMTI_EVENT_FIELD_MODIFICATION - JVMTI_MIN_EVENT_TYPE_VAL) {
            EXPECT_EQ(value, reinterpret_cast<void*>(&onHookStore));
        } else {
            EXPECT_EQ(value, nullptr) << "slot " << slot;
        }
    }
    EXPECT_EQ(vm.eventModes, (std::vector<std::pair<jvmtiEventMode, jvmtiEvent>>{
                                 {JVMTI_ENABLE, JVMTI_EVENT_METHOD_ENTRY},
                                 {JVMTI_ENABLE, JVMTI_EVENT_METHOD_EXIT},
                                 {JVMTI_ENABLE, JVMTI_EVENT_NATIVE_METHOD_BIND},
                                 {JVMTI_ENABLE, JVMTI_EVENT_VM_INIT}}));
    ASSERT_EQ(vm.monitors().size(), 1u);
    EXPECT_EQ(vm.monitors()[0]->name, "Kelmora monitor");
    EXPECT_EQ(agentState->monitor, reinterpret_cast<jrawMonitorID>(vm.monitors()[0].get()));
}

TEST_F(LoadUnloadTest, ModeRewriteAddsTheClassLoadCallbacks) {
    load("mode=rewrite");
    ASSERT_EQ(vm.callbackTableSize, static_cast<jint>(35 * sizeof(void*)));
    auto slot = [&](jvmtiEvent event) {
        void* value;
        std::memcpy(&value, vm.callbackTable.data() + (event - JVMTI_MIN_EVENT_TYPE_VAL) * sizeof(void*),
                    sizeof value);
        return value;
    };
    // The class-loading hook's slot is set, and the hook enabled, only once
    // the VM is up: while it starts, a set slot makes HotSpot run start-up
    // code of the JDK that it would otherwise take from its archive.
    EXPECT_EQ(slot(JVMTI_EVENT_VM_INIT), reinterpret_cast<void*>(&onVmInit));
    EXPECT_EQ(slot(JVMTI_EVENT_CLASS_FILE_LOAD_HOOK), nullptr);
    EXPECT_EQ(slot(JVMTI_EVENT_METHOD_ENTRY), reinterpret_cast<void*>(&onMethodEntry));
    EXPECT_EQ(vm.eventModes, (std::vector<std::pair<jvmtiEventMode, jvmtiEvent>>{
                                 {JVMTI_ENABLE, JVMTI_EVENT_METHOD_ENTRY},
                                 {JVMTI_ENABLE, JVMTI_EVENT_METHOD_EXIT},
                                 {JVMTI_ENABLE, JVMTI_EVENT_NATIVE_METHOD_BIND},
                                 {JVMTI_ENABLE, JVMTI_EVENT_VM_INIT}}));
    // Nothing is rewritten before the VM is up.
    EXPECT_FALSE(classRewritingActive());
    unsigned char* changed = nullptr;
    jint changedLength = 0;
    const unsigned char bytes[] = {0xca, 0xfe, 0xba, 0xbe};
    onClassFileLoadHook(vm.jvmti(), vm.jni(), nullptr, nullptr, "app/Job", nullptr, sizeof bytes,
                        bytes, &changedLength, &changed);
    EXPECT_EQ(changed, nullptr);
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    EXPECT_TRUE(classRewritingActive());
    EXPECT_EQ(slot(JVMTI_EVENT_CLASS_FILE_LOAD_HOOK), reinterpret_cast<void*>(&onClassFileLoadHook));
    EXPECT_EQ(slot(JVMTI_EVENT_METHOD_ENTRY), reinterpret_cast<void*>(&onMethodEntry));
    EXPECT_EQ(slot(JVMTI_EVENT_METHOD_EXIT), reinterpret_cast<void*>(&onMethodExit));
    EXPECT_EQ(vm.eventModes.back(),
              (std::pair<jvmtiEventMode, jvmtiEvent>{JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK}));
    unload();
    resetClassRewriting();

    vm.eventModes.clear();
    vm.capabilities.reset();
    vm.laterCapabilities.clear();
    load("mode=rewrite*mode=norewrite");
    EXPECT_EQ(slot(JVMTI_EVENT_VM_INIT), nullptr);
    EXPECT_EQ(slot(JVMTI_EVENT_NATIVE_METHOD_BIND), nullptr);
    EXPECT_EQ(slot(JVMTI_EVENT_CLASS_FILE_LOAD_HOOK), nullptr);
    EXPECT_EQ(vm.eventModes.size(), 2u);
    // Only what reading receivers needs: no binding, no retransformation.
    ASSERT_EQ(vm.laterCapabilities.size(), 1u);
    jvmtiCapabilities bytecodes;
    std::memset(&bytecodes, 0, sizeof bytecodes);
    bytecodes.can_get_bytecodes = 1;
    EXPECT_EQ(std::memcmp(&vm.laterCapabilities[0], &bytecodes, sizeof bytecodes), 0);
    unload();

    // The hook's receivers need the records and the bytecode: without
    // either, the class-loading events stay off and every receiver is fetched.
    vm.offersClassUnload = false;
    vm.eventModes.clear();
    load(nullptr);
    EXPECT_EQ(vm.eventModes.size(), 2u);
    unload();
    vm.offersClassUnload = true;
    vm.fail(Call::GetPotentialCapabilities, JVMTI_ERROR_INTERNAL);
    vm.eventModes.clear();
    load(nullptr);
    EXPECT_EQ(vm.eventModes.size(), 2u);
}

TEST_F(LoadUnloadTest, NullOrEmptyOptionsTraceEverything) {
    EXPECT_TRUE(std::regex_match(load(nullptr), std::regex("Time: [^\n]*\n. Begin Kelmora logging.\n")));
    EXPECT_TRUE(agentState->filters.empty());
    unload();
    EXPECT_EQ(load("").find("Found option"), std::string::npos);
    EXPECT_TRUE(agentState->filters.empty());
    EXPECT_TRUE(agentState->activations.empty());
}

TEST_F(LoadUnloadTest, FailingLoadCallsAreReportedAndLoadGoesOn) {
    vm.fail(Call::AddCapabilities, JVMTI_ERROR_NOT_AVAILABLE);
    vm.fail(Call::SetEventCallbacks, JVMTI_ERROR_ILLEGAL_ARGUMENT);
    vm.fail(Call::SetEventNotificationMode, JVMTI_ERROR_WRONG_PHASE);
    vm.fail(Call::CreateRawMonitor, JVMTI_ERROR_OUT_OF_MEMORY);
    load(nullptr);
    EXPECT_EQ(readFile(dir.file("errorLog.txt")),
              "[ERROR] JVMTI: 98 (JVMTI_ERROR_NOT_AVAILABLE): Unable to set necessary JVMTI "
              "capabilities.\n"
              "[ERROR] JVMTI: 103 (JVMTI_ERROR_ILLEGAL_ARGUMENT): Cannot set JVMTI callbacks.\n"
              "[ERROR] JVMTI: 112 (JVMTI_ERROR_WRONG_PHASE): Cannot register MethodEntry "
              "notification\n"
              "[ERROR] JVMTI: 112 (JVMTI_ERROR_WRONG_PHASE): Cannot register MethodExit "
              "notification\n"
              "[ERROR] JVMTI: 110 (JVMTI_ERROR_OUT_OF_MEMORY): Cannot create raw monitor.\n");

    // Without a monitor the handlers still run one at a time and record.
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    onMethodEntry(vm.jvmti(), vm.jni(), thread, run);
    std::string out = unload();
    EXPECT_TRUE(std::regex_match(out, std::regex(std::string("Time: ") + kDatePattern +
                                                 " Kelmora-Logging exited cleanly.\n")))
        << out;
    EXPECT_EQ(readFile(dir.file("trace.txt")), " Lapp/Job;run()V\n");
}

TEST_F(LoadUnloadTest, FailingGetEnvLeavesTheJvmUntraced) {
    vm.fail(Call::GetEnv, JVMTI_ERROR_UNSUPPORTED_VERSION);
    CaptureStderr();
    std::string out = load("filter=Ljava/");
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("[ERROR] Kelmora: cannot obtain the JVMTI 1.0 environment"),
              std::string::npos)
        << err;
    EXPECT_NE(out.find(". Begin Kelmora logging."), std::string::npos);
    // Options were read before the environment was asked for.
    EXPECT_EQ(agentState->filters.items, std::vector<std::string>{"Ljava/"});
    EXPECT_EQ(vm.totalCalls(), 1);  // GetEnv alone
    EXPECT_NE(unload().find("Kelmora-Logging exited cleanly."), std::string::npos);
    EXPECT_EQ(agentState, nullptr);
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")), "");
    EXPECT_FALSE(fileExists(dir.file("errorLog.txt")));
}

TEST_F(LoadUnloadTest, UnloadWritesLegendsAndReleasesEverything) {
    load("filter=Ljava/");
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    onMethodEntry(vm.jvmti(), vm.jni(), thread, run);
    onMethodExit(vm.jvmti(), vm.jni(), thread, run, JNI_FALSE, jvalue());
    jrawMonitorID monitor = agentState->monitor;

    std::string out = unload();
    EXPECT_TRUE(std::regex_match(out, std::regex(std::string("Time: ") + kDatePattern +
                                                 " Kelmora-Logging exited cleanly.\n")));
    EXPECT_EQ(agentState, nullptr);
    EXPECT_FALSE(isAgentLive());
    EXPECT_TRUE(vm.monitorDestroyed(monitor));
    EXPECT_TRUE(vm.disposed);
    EXPECT_EQ(readFile(dir.file("trace.txt")), " Lapp/Job;run()V\n -Lapp/Job;run()V\n");
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")), "1 == run:<()V>:<(null)>\n");
    EXPECT_EQ(readFile(dir.file("ObjectLegend.txt")), "1 == Lapp/Job;\n");
    EXPECT_EQ(vm.outstandingTexts(), 0);

    // A late event finds nothing to touch.
    int before = vm.totalCalls();
    onMethodEntry(vm.jvmti(), vm.jni(), thread, run);
    EXPECT_EQ(vm.totalCalls(), before);
}

TEST_F(LoadUnloadTest, UnloadKeepsWhatAHandlerInFlightStillReads) {
    load(nullptr);
    jrawMonitorID monitor = agentState->monitor;
    AgentState* state = agentState;
    // A handler on another thread has passed its liveness check and not ended.
    ASSERT_TRUE(beginAgentCallback());
    setUnloadDrainTimeoutMs(20);
    std::string out = unload();
    EXPECT_NE(out.find("Kelmora-Logging exited cleanly."), std::string::npos);
    EXPECT_FALSE(vm.monitorDestroyed(monitor));
    EXPECT_FALSE(vm.disposed);
    EXPECT_EQ(agentState, state);
    EXPECT_FALSE(isAgentLive());
    EXPECT_TRUE(state->traceFile == nullptr);
    EXPECT_TRUE(fileExists(dir.file("MethodLegend.txt")));
    endAgentCallback();
}

TEST_F(LoadUnloadTest, UnloadWaitsForTheHandlerHoldingTheMonitor) {
    load(nullptr);
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    // Another thread holds the monitor in the middle of an event.
    ASSERT_TRUE(beginAgentCallback());
    std::thread holder([&] {
        {
            // Held as the handlers hold it, whichever lock that is.
            AgentMonitorScope lock;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            // The event being handled when unload began still gets its line.
            setTraceDepth(0);
            writeTraceLine("in flight");
        }
        endAgentCallback();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    unload();
    holder.join();
    onMethodEntry(vm.jvmti(), vm.jni(), thread, run);
    EXPECT_EQ(readFile(dir.file("trace.txt")), "in flight\n");
}

TEST_F(LoadUnloadTest, HandlersLockTheRawMonitorOnlyWhereNoRecordsAreKept) {
    for (bool offered : {true, false}) {
        SCOPED_TRACE(offered ? "class unloading announced" : "no class-unload event");
        vm.offersClassUnload = offered;
        load(nullptr);
        jclass job = vm.klass("Lapp/Job;");
        jmethodID run = vm.method(job, "run", "()V");
        jthread thread = vm.thread(vm.object(job));
        int before = vm.calls(Call::RawMonitorEnter);
        onMethodEntry(vm.jvmti(), vm.jni(), thread, run);
        jvalue none{};
        onMethodExit(vm.jvmti(), vm.jni(), thread, run, JNI_FALSE, none);
        EXPECT_EQ(vm.calls(Call::RawMonitorEnter) - before, offered ? 0 : 2);
        unload();
        EXPECT_EQ(readFile(dir.file("trace.txt")), " Lapp/Job;run()V\n -Lapp/Job;run()V\n");
    }
}

TEST_F(LoadUnloadTest, UnreadableTraceFileSendsTraceToStandardOutput) {
    std::filesystem::create_directory(dir.file("trace.txt"));
    CaptureStderr();
    load(nullptr);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("trace.txt"), std::string::npos) << err;
    EXPECT_TRUE(agentState->traceFile == nullptr);
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    CaptureStdout();
    onMethodEntry(vm.jvmti(), vm.jni(), thread, run);
    std::fflush(stdout);
    EXPECT_EQ(GetCapturedStdout(), " Lapp/Job;run()V\n");
}

// Every line and legend entry is in its file when its event has been
// handled: what a JVM that died at that point would leave.
TEST_F(LoadUnloadTest, EverythingRecordedIsInTheFilesBeforeUnload) {
    load(nullptr);
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jmethodID main = vm.method(job, "main", "([Ljava/lang/String;)V", MethodKind::Static);
    jthread first = vm.thread(vm.object(job));
    onMethodEntry(vm.jvmti(), vm.jni(), first, main);
    onMethodEntry(vm.jvmti(), vm.jni(), first, run);
    EXPECT_EQ(textBeforePadding(dir.file("trace.txt")),
              " Lapp/Job;main([Ljava/lang/String;)V\n  Lapp/Job;run()V\n");
    EXPECT_EQ(textBeforePadding(dir.file("MethodLegend.txt")),
              "1 == main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Job;\n"
              "2 == run:<()V>:<(null)>\n");
    EXPECT_EQ(textBeforePadding(dir.file("ObjectLegend.txt")), "1 == Lapp/Job;\n");

    jthread second = vm.thread(vm.object(job));
    onMethodExit(vm.jvmti(), vm.jni(), first, run, JNI_FALSE, jvalue());
    onMethodEntry(vm.jvmti(), vm.jni(), second, run);
    const std::string trace =
        " Lapp/Job;main([Ljava/lang/String;)V\n  Lapp/Job;run()V\n  -Lapp/Job;run()V\n"
        "  Lapp/Job;run()V\n";
    const std::string objects = "1 == Lapp/Job;\n2 == Lapp/Job;\n";
    EXPECT_EQ(textBeforePadding(dir.file("trace.txt")), trace);
    EXPECT_EQ(textBeforePadding(dir.file("ObjectLegend.txt")), objects);

    // A clean unload leaves exactly those bytes, padding gone.
    unload();
    EXPECT_EQ(readFile(dir.file("trace.txt")), trace);
    EXPECT_EQ(readFile(dir.file("ObjectLegend.txt")), objects);
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")),
              "1 == main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Job;\n"
              "2 == run:<()V>:<(null)>\n");
}

// Native code may call chdir: the legends are then completed where they were
// made at load and also written whole into the directory of unload.
TEST_F(LoadUnloadTest, WorkingDirectoryChangedBeforeUnload) {
    load(nullptr);
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    for (int i = 0; i < 40; ++i) {
        jthread thread = vm.thread(vm.object(job));
        onMethodEntry(vm.jvmti(), vm.jni(), thread, run);
        onMethodExit(vm.jvmti(), vm.jni(), thread, run, JNI_FALSE, jvalue());
    }
    std::string objects;
    for (int n = 1; n <= 40; ++n) objects += makeId(n) + " == Lapp/Job;\n";
    {
        ScratchDirectory moved;
        unload();
        EXPECT_EQ(readFile(moved.file("ObjectLegend.txt")), objects);
        EXPECT_EQ(readFile(moved.file("MethodLegend.txt")), "1 == run:<()V>:<(null)>\n");
        EXPECT_FALSE(fileExists(moved.file("trace.txt")));
    }
    EXPECT_EQ(readFile(dir.file("ObjectLegend.txt")), objects);
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")), "1 == run:<()V>:<(null)>\n");
    EXPECT_EQ(lines(readFile(dir.file("trace.txt"))).size(), 80u);
}

// A legend that cannot be made at load is said so and written at unload.
TEST_F(LoadUnloadTest, UncreatableLegendIsWrittenAtUnloadInstead) {
    std::filesystem::create_directory(dir.file("ObjectLegend.txt"));
    CaptureStderr();
    load(nullptr);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("[ERROR] Kelmora: cannot create " + dir.file("ObjectLegend.txt") + " ("),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("); it is written at unload instead.\n"), std::string::npos) << err;
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    onMethodEntry(vm.jvmti(), vm.jni(), vm.thread(vm.object(job)), run);
    // The other legend is streamed all the same.
    EXPECT_EQ(textBeforePadding(dir.file("MethodLegend.txt")), "1 == run:<()V>:<(null)>\n");

    std::filesystem::remove(dir.file("ObjectLegend.txt"));
    CaptureStderr();
    unload();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(readFile(dir.file("ObjectLegend.txt")), "1 == Lapp/Job;\n");
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")), "1 == run:<()V>:<(null)>\n");
}

// Still a directory at unload: said again, and the other legend is whole.
TEST_F(LoadUnloadTest, LegendUncreatableAtLoadAndUnloadIsReportedTwice) {
    std::filesystem::create_directory(dir.file("ObjectLegend.txt"));
    CaptureStderr();
    load(nullptr);
    jclass job = vm.klass("Lapp/Job;");
    onMethodEntry(vm.jvmti(), vm.jni(), vm.thread(vm.object(job)), vm.method(job, "run", "()V"));
    unload();
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("[ERROR] Kelmora: cannot create ObjectLegend.txt ("), std::string::npos)
        << err;
    EXPECT_NE(err.find("); it is not written.\n"), std::string::npos) << err;
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")), "1 == run:<()V>:<(null)>\n");
}

TEST(ConsoleDateTest, HasAsctimeShapeWithZeroPaddedDay) {
    std::string date = consoleDate();
    EXPECT_TRUE(std::regex_match(date, std::regex(kDatePattern))) << date;
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "output/Legends.h"
#include "tests/TestSupport.h"
#include "tracing/MethodEvents.h"
#include "output/TraceWriter.h"
#include "tracing/MethodRecords.h"

namespace {

class EventsTest : public AgentTest {
protected:
    std::string legendsAndTrace() {
        writeLegends();
        return "trace:\n" + traceText() + "methods:\n" + readFile(dir.file("MethodLegend.txt")) +
               "objects:\n" + readFile(dir.file("ObjectLegend.txt"));
    }
    // Every VM text is released and the monitor is left on every path.
    void expectCleanAfterEvents() {
        EXPECT_EQ(vm.outstandingTexts(), 0);
        EXPECT_EQ(vm.badDeallocations(), 0);
        EXPECT_EQ(vm.monitorDepth(state->monitor), 0);
    }
};

// Every case runs twice, with the same expected files: as on HotSpot, with
// method records and the agent's own lock (the VM tells of class
// unloading), and as on a VM that does not, without records, on the raw
// monitor.
class MethodEventsTest : public EventsTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        EventsTest::SetUp();
        if (GetParam()) {
            state->records->enable();
            state->ownLock = true;
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Records, MethodEventsTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Kept" : "None";
                         });

TEST_P(MethodEventsTest, OneInstanceCallAtDepthTwo) {
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jobject receiver = vm.object(job);
    jthread thread = vm.thread(receiver);
    // Six receivers met before, so this one becomes the seventh.
    state->nextTag = 7;
    for (int i = 0; i < 6; ++i) appendObjectLegend("Lapp/Earlier;");
    setTraceDepth(2);

    enter(thread, run);
    EXPECT_EQ(traceDepth(), 3);
    EXPECT_EQ(vm.tagOf(receiver), 7);
    leave(thread, run);
    EXPECT_EQ(traceDepth(), 2);

    expectCleanAfterEvents();
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              "   Lapp/Job;run()V\n"
              "   -Lapp/Job;run()V\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Earlier;\n2 == Lapp/Earlier;\n3 == Lapp/Earlier;\n"
              "4 == Lapp/Earlier;\n5 == Lapp/Earlier;\n6 == Lapp/Earlier;\n"
              "7 == Lapp/Job;\n");
}

TEST_P(MethodEventsTest, NestedCallsStaticKeysAndSharedInstanceKeys) {
    jclass mainClass = vm.klass("Lapp/Main;");
    jclass job = vm.klass("Lapp/Job;");
    jclass other = vm.klass("Lapp/Other;");
    jmethodID main = vm.method(mainClass, "main", "([Ljava/lang/String;)V", MethodKind::Static);
    jmethodID jobRun = vm.method(job, "run", "()V");
    jmethodID otherRun = vm.method(other, "run", "()V");
    jmethodID helper = vm.method(other, "helper", "()V", MethodKind::Static);
    jmethodID sum = vm.method(other, "sum", "(JJ)J", MethodKind::Static);  // taken as instance
    jobject aJob = vm.object(job), anOther = vm.object(other);
    jthread thread = vm.thread(nullptr);

    enter(thread, main);
    vm.setReceiver(thread, aJob);
    enter(thread, jobRun);
    leave(thread, jobRun, /*byException=*/true);
    vm.setReceiver(thread, anOther);
    enter(thread, otherRun);
    vm.setReceiver(thread, nullptr);
    enter(thread, helper);
    leave(thread, helper);
    enter(thread, sum);
    leave(thread, sum);
    vm.setReceiver(thread, anOther);
    leave(thread, otherRun);
    vm.setReceiver(thread, nullptr);
    leave(thread, main);

    expectCleanAfterEvents();
    EXPECT_EQ(traceDepth(), 0);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Main;main([Ljava/lang/String;)V\n"
              "  Lapp/Job;run()V\n"
              "  -Lapp/Job;run()V\n"
              "  Lapp/Other;run()V\n"
              "   Lapp/Other;helper()V\n"
              "   -Lapp/Other;helper()V\n"
              "   Lapp/Other;sum(JJ)J\n"
              "   -Lapp/Other;sum(JJ)J\n"
              "  -Lapp/Other;run()V\n"
              " -Lapp/Main;main([Ljava/lang/String;)V\n"
              "methods:\n"
              "1 == main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Main;\n"
              "2 == run:<()V>:<(null)>\n"
              "3 == helper:<()V>:<(null)>||Lapp/Other;\n"
              "4 == sum:<(JJ)J>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n"
              "2 == Lapp/Other;\n");
}

TEST_P(MethodEventsTest, ExitWithoutEntryWarnsOncePerKeyAndDepthStaysAtZero) {
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jmethodID stop = vm.method(job, "stop", "()V");
    jthread thread = vm.thread(vm.object(job));

    leave(thread, run);
    EXPECT_EQ(traceDepth(), 0);
    leave(thread, run);
    enter(thread, stop);
    leave(thread, stop);
    EXPECT_EQ(traceDepth(), 0);
    expectCleanAfterEvents();
    EXPECT_EQ(traceText(),
              "Warning: Left method that hasn't been entered...\n"
              "-Lapp/Job;run()V\n"
              "-Lapp/Job;run()V\n"
              " Lapp/Job;stop()V\n"
              " -Lapp/Job;stop()V\n");
}

TEST_P(MethodEventsTest, ActivationMethodsOpenAndCloseTheGate) {
    state->activations.append("Lapp/Job;run;()V");
    state->activationDepth = 0;
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jmethodID step = vm.method(job, "step", "()V");
    jthread thread = vm.thread(vm.object(job));

    enter(thread, step);  // gate shut: not recorded
    leave(thread, step);
    enter(thread, run);  // opens the gate and is itself recorded
    EXPECT_EQ(state->activationDepth, 1);
    enter(thread, step);
    leave(thread, step);
    leave(thread, run);  // recorded, then closes the gate
    EXPECT_EQ(state->activationDepth, 0);
    enter(thread, step);
    leave(thread, step);
    expectCleanAfterEvents();
    EXPECT_EQ(traceText(),
              " Lapp/Job;run()V\n"
              "  Lapp/Job;step()V\n"
              "  -Lapp/Job;step()V\n"
              " -Lapp/Job;run()V\n");
}

TEST_P(MethodEventsTest, ActivationMethodOfFilteredClassLeavesCounterRaised) {
    state->activations.append("Ljava/lang/Thread;run;()V");
    state->filters.append("Ljava/");
    jclass threadClass = vm.klass("Ljava/lang/Thread;");
    jmethodID run = vm.method(threadClass, "run", "()V");
    jthread thread = vm.thread(vm.object(threadClass));
    enter(thread, run);
    EXPECT_EQ(state->activationDepth, 2);
    leave(thread, run);
    EXPECT_EQ(state->activationDepth, 2);
    expectCleanAfterEvents();
    EXPECT_EQ(traceText(), "");
}

TEST_P(MethodEventsTest, ShutGateStillRecordsEventsWithoutDeclaringClass) {
    // Lookups that fail after one succeeded: a kept record answers instead.
    if (GetParam()) GTEST_SKIP() << "later events of a kept method ask the VM nothing";
    state->activationDepth = 0;
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));

    enter(thread, run);  // suppressed by the gate
    vm.fail(Call::GetMethodDeclaringClass, JVMTI_ERROR_INVALID_METHODID);
    enter(thread, run);
    leave(thread, run);
    vm.fail(Call::GetMethodName, JVMTI_ERROR_WRONG_PHASE);
    enter(thread, run);
    expectCleanAfterEvents();
    EXPECT_EQ(traceText(),
              " (null)run()V\n"
              " -(null)run()V\n"
              " (null)(null)(null)\n");
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 23 (JVMTI_ERROR_INVALID_METHODID): \n"
              "[ERROR] JVMTI: 23 (JVMTI_ERROR_INVALID_METHODID): \n"
              "[ERROR] JVMTI: 112 (JVMTI_ERROR_WRONG_PHASE): \n"
              "[ERROR] JVMTI: 23 (JVMTI_ERROR_INVALID_METHODID): \n");
}

TEST_P(MethodEventsTest, FilteredReceiverDropsEventOfUnfilteredDeclaringClass) {
    state->filters.append("Lapp/secret/");
    jclass base = vm.klass("Lapp/Base;");
    jclass hidden = vm.klass("Lapp/secret/Impl;");
    jmethodID run = vm.method(base, "run", "()V");
    jthread thread = vm.thread(vm.object(hidden));
    enter(thread, run);
    leave(thread, run);
    expectCleanAfterEvents();
    EXPECT_EQ(traceDepth(), 0);
    EXPECT_EQ(state->nextMethodId, 1);
    EXPECT_EQ(traceText(), "");
}

TEST_P(MethodEventsTest, ReceiverFirstMetAtExitIsTaggedThere) {
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jobject receiver = vm.object(job);
    jthread thread = vm.thread(receiver);
    vm.failOnce(Call::GetLocalObject, JVMTI_ERROR_OPAQUE_FRAME);
    enter(thread, run);
    EXPECT_EQ(vm.tagOf(receiver), 0);
    leave(thread, run);
    EXPECT_EQ(vm.tagOf(receiver), 1);
    EXPECT_EQ(state->objectLegend.items, std::vector<std::string>{"Lapp/Job;"});
}

TEST_P(MethodEventsTest, RefusedMonitorDropsTheEvent) {
    if (GetParam()) GTEST_SKIP() << "the agent's own lock is never refused";
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    vm.failOnce(Call::RawMonitorEnter, JVMTI_ERROR_NOT_MONITOR_OWNER);
    enter(thread, run);
    EXPECT_EQ(traceDepth(), 0);
    EXPECT_EQ(vm.calls(Call::GetMethodName), 0);
    enter(thread, run);
    expectCleanAfterEvents();
    EXPECT_EQ(traceText(), " Lapp/Job;run()V\n");
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 51 (JVMTI_ERROR_NOT_MONITOR_OWNER): Cannot enter with raw monitor.\n");
}

TEST_P(MethodEventsTest, EventsAfterUnloadBeganTouchNothing) {
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    setAgentLive(false);
    int before = vm.totalCalls();
    enter(thread, run);
    leave(thread, run);
    EXPECT_EQ(vm.totalCalls(), before);
    EXPECT_EQ(agentCallbacksInFlight(), 0);
    EXPECT_EQ(traceText(), "");
}

TEST_P(MethodEventsTest, LongNamesAreKeptWhole) {
    std::string longName = "L" + std::string(5000, 'p') + "/Deep;";
    jclass deep = vm.klass(longName);
    std::string longMethod(4200, 'm');
    jmethodID method = vm.method(deep, longMethod, "()V");
    jthread thread = vm.thread(vm.object(deep));
    enter(thread, method);
    leave(thread, method);
    writeLegends();
    EXPECT_EQ(traceText(), " " + longName + longMethod + "()V\n -" + longName + longMethod + "()V\n");
    EXPECT_EQ(readFile(dir.file("MethodLegend.txt")), "1 == " + longMethod + ":<()V>:<(null)>\n");
    EXPECT_EQ(readFile(dir.file("ObjectLegend.txt")), "1 == " + longName + "\n");
}

TEST_P(MethodEventsTest, ThreadsAreSerialisedAndEveryEntryHasItsExit) {
    jclass job = vm.klass("Lapp/Job;");
    std::vector<jmethodID> methods;
    for (int i = 0; i < 4; ++i) methods.push_back(vm.method(job, "m" + std::to_string(i), "()V"));
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        jthread thread = vm.thread(vm.object(job));
        workers.emplace_back([this, thread, &methods, t] {
            for (int i = 0; i < 500; ++i) {
                enter(thread, methods[t]);
                leave(thread, methods[t]);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    expectCleanAfterEvents();
    CallCounts counts = countCalls(traceText());
    std::map<std::string, int>& entries = counts.entries;
    std::map<std::string, int>& exits = counts.exits;
    ASSERT_EQ(entries.size(), 4u);
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.second, 500) << entry.first;
        EXPECT_EQ(exits[entry.first], 500) << entry.first;
    }
    EXPECT_EQ(state->nextObjectId, 5);
}

// With records kept: what later events no longer ask the VM.
class RecordedEventsTest : public EventsTest {
protected:
    void SetUp() override {
        EventsTest::SetUp();
        state->records->enable();
        state->ownLock = true;
    }
    int textCalls() const {
        return vm.calls(Call::GetMethodName) + vm.calls(Call::GetMethodDeclaringClass) +
               vm.calls(Call::GetClassSignature) + vm.calls(Call::GetArgumentsSize) +
               vm.calls(Call::GetMethodModifiers) + vm.calls(Call::GetBytecodes);
    }
    // Entry and exit of `method` with `receiver` in slot 0; the number of
    // receiver fetches they made.
    int fetchesOfOneCall(jmethodID method, jobject receiver) {
        jthread thread = vm.thread(receiver);
        int before = vm.calls(Call::GetLocalObject);
        enter(thread, method);
        leave(thread, method);
        return vm.calls(Call::GetLocalObject) - before;
    }
};

TEST_F(RecordedEventsTest, LaterEventsOfAMethodMakeNoTextCall) {
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jmethodID helper = vm.method(job, "helper", "(I)V", MethodKind::Static);
    jthread thread = vm.thread(vm.object(job));
    enter(thread, run);
    enter(thread, helper);
    int afterFirstMeeting = textCalls();
    leave(thread, helper);
    leave(thread, run);
    for (int i = 0; i < 3; ++i) {
        enter(thread, run);
        enter(thread, helper);
        leave(thread, helper);
        leave(thread, run);
    }
    EXPECT_EQ(textCalls(), afterFirstMeeting);
    // One fetch per entry of run: every exit reused what its entry learned.
    EXPECT_EQ(vm.calls(Call::GetLocalObject), 4);
    expectCleanAfterEvents();
    EXPECT_EQ(lines(traceText()).size(), 16u);
}

TEST_P(MethodEventsTest, FailingLookupIsReportedOnEveryEventAndNeverKept) {
    jclass job = vm.klass("Lapp/Job;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    vm.fail(Call::GetMethodName, JVMTI_ERROR_WRONG_PHASE);
    enter(thread, run);
    leave(thread, run);
    vm.succeed(Call::GetMethodName);
    enter(thread, run);
    leave(thread, run);
    enter(thread, run);
    // Kept records: the failed lookups were asked again, the good one once.
    EXPECT_EQ(vm.calls(Call::GetMethodName), GetParam() ? 3 : 5);
    expectCleanAfterEvents();
    EXPECT_EQ(traceText(),
              " Lapp/Job;(null)(null)\n"
              " -Lapp/Job;(null)(null)\n"
              " Lapp/Job;run()V\n"
              " -Lapp/Job;run()V\n"
              " Lapp/Job;run()V\n");
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 112 (JVMTI_ERROR_WRONG_PHASE): \n"
              "[ERROR] JVMTI: 112 (JVMTI_ERROR_WRONG_PHASE): \n");
}

TEST_F(RecordedEventsTest, MethodIdentifierReusedAfterUnloadGetsItsOwnTexts) {
    jclass job = vm.klass("Lapp/Job;");
    jclass later = vm.klass("Lapp/Later;");
    jmethodID run = vm.method(job, "run", "()V");
    jthread thread = vm.thread(vm.object(job));
    vm.classUnloadCallback = reinterpret_cast<jvmtiExtensionEvent>(onClassUnload);
    enter(thread, run);
    leave(thread, run);
    // A frame entered before the unload holds a record the unload frees:
    // its exit describes the method as the VM knows it by then.
    enter(thread, run);
    EXPECT_EQ(state->records->size(), 1u);
    vm.unloadClasses();
    EXPECT_EQ(state->records->size(), 0u);
    vm.reuseMethodId(run, later, "go", "(J)V", MethodKind::Static);
    vm.setReceiver(thread, nullptr);
    leave(thread, run);
    enter(thread, run);
    leave(thread, run);
    expectCleanAfterEvents();
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;run()V\n"
              " -Lapp/Job;run()V\n"
              " Lapp/Job;run()V\n"
              " Warning: Left method that hasn't been entered...\n"
              " -Lapp/Later;go(J)V\n"
              " Lapp/Later;go(J)V\n"
              " -Lapp/Later;go(J)V\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "2 == go:<(J)V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n");
}

TEST_F(RecordedEventsTest, ExitFetchesAgainOnlyWhenSlotZeroMayHaveChanged) {
    jclass job = vm.klass("Lapp/Job;");
    jobject receiver = vm.object(job);
    jmethodID plain = vm.method(job, "plain", "()V");
    EXPECT_EQ(fetchesOfOneCall(plain, receiver), 1);
    // aconst_null; astore_0; return
    jmethodID overwrites = vm.method(job, "overwrites", "()V");
    vm.setBytecode(overwrites, {0x01, 0x4b, 0xb1});
    EXPECT_EQ(fetchesOfOneCall(overwrites, receiver), 2);
    // iconst_0; istore_0; return: `this` is dead, its slot holds an int
    jmethodID reuses = vm.method(job, "reuses", "()V");
    vm.setBytecode(reuses, {0x03, 0x3b, 0xb1});
    EXPECT_EQ(fetchesOfOneCall(reuses, receiver), 2);
    // wide iinc 0 by 1; return
    jmethodID widens = vm.method(job, "widens", "()V");
    vm.setBytecode(widens, {0xc4, 0x84, 0x00, 0x00, 0x00, 0x01, 0xb1});
    EXPECT_EQ(fetchesOfOneCall(widens, receiver), 2);
    // Static with a long parameter: taken as instance, slot 0 is the long's,
    // never an object: nothing is fetched (the fetch could only fail). With
    // a reference first, that reference is fetched as a receiver at the
    // entry, and the exit reuses it (the slot is never written).
    jmethodID sum = vm.method(job, "sum", "(J)V", MethodKind::Static);
    EXPECT_EQ(fetchesOfOneCall(sum, receiver), 0);
    jmethodID scale = vm.method(job, "scale", "(Ljava/lang/Object;J)V", MethodKind::Static);
    EXPECT_EQ(fetchesOfOneCall(scale, receiver), 1);
    // Bytecode that cannot be had: fetch as before.
    jmethodID unread = vm.method(job, "unread", "()V");
    vm.failOnce(Call::GetBytecodes, JVMTI_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(fetchesOfOneCall(unread, receiver), 2);

    // An exit whose entry was not seen, and one after the gate was shut.
    jthread thread = vm.thread(receiver);
    int before = vm.calls(Call::GetLocalObject);
    leave(thread, plain);
    EXPECT_EQ(vm.calls(Call::GetLocalObject), before + 1);
    state->activationDepth = 0;
    enter(thread, plain);
    state->activationDepth = 1;
    leave(thread, plain);
    EXPECT_EQ(vm.calls(Call::GetLocalObject), before + 2);
    // A mismatched exit drops the frames: the outer exit fetches too.
    jmethodID other = vm.method(job, "other", "()V");
    enter(thread, plain);
    enter(thread, other);
    leave(thread, plain);
    leave(thread, other);
    EXPECT_EQ(vm.calls(Call::GetLocalObject), before + 6);
    // So does a lookup that failed: the inner call of a recursion, met again
    // after an unload, must not take the outer call's frame at its exit.
    vm.classUnloadCallback = reinterpret_cast<jvmtiExtensionEvent>(onClassUnload);
    enter(thread, plain);
    vm.unloadClasses();
    vm.failOnce(Call::GetMethodName, JVMTI_ERROR_WRONG_PHASE);
    enter(thread, plain);
    leave(thread, plain);
    leave(thread, plain);
    EXPECT_EQ(vm.calls(Call::GetLocalObject), before + 10);
    expectCleanAfterEvents();
}

TEST_F(RecordedEventsTest, NativeMethodsNeverFetchTheReceiver) {
    jclass job = vm.klass("Lapp/Job;");
    jmethodID hash = vm.method(job, "hash", "()I", MethodKind::Native);
    jobject receiver = vm.object(job);
    EXPECT_EQ(fetchesOfOneCall(hash, receiver), 0);
    EXPECT_EQ(vm.tagOf(receiver), 0);
    expectCleanAfterEvents();
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n Lapp/Job;hash()I\n -Lapp/Job;hash()I\n"
              "methods:\n1 == hash:<()I>:<(null)>\nobjects:\n");
}

TEST_F(RecordedEventsTest, ThreadsKeepTheirOwnFrames) {
    state->filters.append("Lapp/secret/");
    jclass base = vm.klass("Lapp/Base;");
    jmethodID run = vm.method(base, "run", "()V");
    jthread hiddenThread = vm.thread(vm.object(vm.klass("Lapp/secret/Impl;")));
    jthread openThread = vm.thread(vm.object(base));
    // Steps taken in turn by two threads: a filtered receiver's call on one
    // encloses an ordinary call of the same method on the other.
    std::atomic<int> turn{0};
    auto step = [&turn](int mine) {
        while (turn.load() != mine) std::this_thread::yield();
    };
    std::thread hidden([&] {
        step(0);
        enter(hiddenThread, run);
        turn = 1;
        step(3);
        leave(hiddenThread, run);
        turn = 4;
    });
    std::thread open([&] {
        step(1);
        enter(openThread, run);
        turn = 2;
        step(2);
        leave(openThread, run);
        turn = 3;
    });
    hidden.join();
    open.join();
    EXPECT_EQ(vm.calls(Call::GetLocalObject), 2);
    expectCleanAfterEvents();
    EXPECT_EQ(traceText(), " Lapp/Base;run()V\n -Lapp/Base;run()V\n");
}

}  // namespace

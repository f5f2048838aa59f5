#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "agent/ErrorReporting.h"
#include "tests/TestSupport.h"

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

using ErrorReportingTest = AgentTest;

TEST_F(ErrorReportingTest, ZeroCodeWritesNothingAndCallsNothing) {
    int before = vm.totalCalls();
    CaptureStderr();
    checkJvmtiError(JVMTI_ERROR_NONE, "never shown");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(vm.totalCalls(), before);
    EXPECT_FALSE(fileExists(dir.file("errorLog.txt")));
}

TEST_F(ErrorReportingTest, FailuresAppendExactLinesInOrder) {
    checkJvmtiError(JVMTI_ERROR_INVALID_METHODID, "first");
    checkJvmtiError(JVMTI_ERROR_WRONG_PHASE, nullptr);
    checkJvmtiError(JVMTI_ERROR_INVALID_MONITOR, "third");
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 23 (JVMTI_ERROR_INVALID_METHODID): first\n"
              "[ERROR] JVMTI: 112 (JVMTI_ERROR_WRONG_PHASE): \n"
              "[ERROR] JVMTI: 50 (JVMTI_ERROR_INVALID_MONITOR): third\n");
    // Every name the VM handed out was given back.
    EXPECT_EQ(vm.calls(Call::GetErrorName), 3);
    EXPECT_EQ(vm.outstandingTexts(), 0);
}

TEST_F(ErrorReportingTest, AppendsToALogLeftByEarlierReports) {
    writeFile(dir.file("errorLog.txt"), "[ERROR] JVMTI: 1 (X): earlier\n");
    checkJvmtiError(JVMTI_ERROR_INVALID_CLASS, "later");
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 1 (X): earlier\n"
              "[ERROR] JVMTI: 21 (JVMTI_ERROR_INVALID_CLASS): later\n");
}

TEST_F(ErrorReportingTest, CodeWithoutNameIsUnknown) {
    checkJvmtiError(static_cast<jvmtiError>(77), "odd");  // a code the VM has no name for
    vm.fail(Call::GetErrorName, JVMTI_ERROR_WRONG_PHASE);
    checkJvmtiError(JVMTI_ERROR_INVALID_CLASS, "no name either");
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 77 (Unknown): odd\n"
              "[ERROR] JVMTI: 21 (Unknown): no name either\n");
}

TEST_F(ErrorReportingTest, NoLogPathWritesToStandardError) {
    state->errorLogPath.clear();
    CaptureStderr();
    checkJvmtiError(JVMTI_ERROR_INVALID_METHODID, "to the console");
    EXPECT_EQ(GetCapturedStderr(),
              "[ERROR] JVMTI: 23 (JVMTI_ERROR_INVALID_METHODID): to the console\n");
    EXPECT_FALSE(fileExists(dir.file("errorLog.txt")));
}

TEST_F(ErrorReportingTest, UnopenableLogFallsBackToStandardError) {
    state->errorLogPath = dir.file("missing-directory/errorLog.txt");
    CaptureStderr();
    checkJvmtiError(JVMTI_ERROR_INVALID_METHODID, "still seen");
    EXPECT_EQ(GetCapturedStderr(),
              "[ERROR] JVMTI: 23 (JVMTI_ERROR_INVALID_METHODID): still seen\n");
}

TEST_F(ErrorReportingTest, WithoutEnvironmentTheNameIsUnknown) {
    state->jvmti = nullptr;
    checkJvmtiError(JVMTI_ERROR_INVALID_METHODID, "no env");
    EXPECT_EQ(errorLogText(), "[ERROR] JVMTI: 23 (Unknown): no env\n");
}

TEST_F(ErrorReportingTest, MonitorWrappersEnterAndLeaveTheRawMonitor) {
    MonitorHold hold = enterAgentMonitor();
    EXPECT_EQ(hold, MonitorHold::Raw);
    EXPECT_EQ(vm.monitorDepth(state->monitor), 1);
    exitAgentMonitor(hold);
    EXPECT_EQ(vm.monitorDepth(state->monitor), 0);
    EXPECT_FALSE(fileExists(dir.file("errorLog.txt")));
}

TEST_F(ErrorReportingTest, MonitorFailuresAreReportedWithTheirMessages) {
    vm.failOnce(Call::RawMonitorEnter, JVMTI_ERROR_NOT_MONITOR_OWNER);
    MonitorHold refused = enterAgentMonitor();
    // The monitor exists but is not held: the caller must leave shared state alone.
    EXPECT_EQ(refused, MonitorHold::None);
    exitAgentMonitor(refused);
    EXPECT_EQ(vm.calls(Call::RawMonitorExit), 0);

    vm.failOnce(Call::RawMonitorExit, JVMTI_ERROR_NOT_MONITOR_OWNER);
    exitAgentMonitor(enterAgentMonitor());
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 51 (JVMTI_ERROR_NOT_MONITOR_OWNER): Cannot enter with raw monitor.\n"
              "[ERROR] JVMTI: 51 (JVMTI_ERROR_NOT_MONITOR_OWNER): Cannot exit with raw monitor.\n");
}

TEST_F(ErrorReportingTest, MissingMonitorSerialisesOnTheFallbackLock) {
    state->monitor = nullptr;
    MonitorHold hold = enterAgentMonitor();
    EXPECT_EQ(hold, MonitorHold::Fallback);
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 50 (JVMTI_ERROR_INVALID_MONITOR): Cannot enter with raw monitor.\n");

    // A second thread must wait until the first one lets go.
    std::atomic<bool> entered{false};
    std::thread other([&] {
        MonitorHold second = enterAgentMonitor();
        entered = true;
        exitAgentMonitor(second);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    exitAgentMonitor(hold);
    other.join();
    EXPECT_TRUE(entered.load());
}

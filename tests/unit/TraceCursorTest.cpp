#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/ErrorReporting.h"
#include "output/Legends.h"
#include "output/TextFile.h"
#include "output/ThreadStripes.h"
#include "output/TraceCursor.h"
#include "output/TraceWriter.h"
#include "tests/TestSupport.h"
#include "tracing/MethodEvents.h"
#include "tracing/MethodRecords.h"

namespace {

using Move = TraceCursor::Move;
using Lines = TraceCursor::Lines;

// Every line's indentation against the depth the lines before it give
// (an entry one deeper, an exit at the depth and one less after, never
// below 0); the number of lines that disagree, or -1 for a line that is
// not a trace line at all (a gap of blanks, a NUL, a torn line).
int depthMismatches(const std::string& trace) {
    int depth = 0;
    int wrong = 0;
    for (const std::string& line : lines(trace)) {
        std::size_t text = line.find_first_not_of(' ');
        if (text == std::string::npos || line.find('\0') != std::string::npos) return -1;
        bool exit = line[text] == '-';
        if (line[text + (exit ? 1 : 0)] != 'L') return -1;
        if (!exit) ++depth;
        if (static_cast<int>(text) != depth) ++wrong;
        if (exit && depth > 0) --depth;
    }
    return wrong;
}

TEST(TraceCursorTest, ClaimsIndentMoveTheDepthAndStopAtTheWindowsEnd) {
    TraceCursor cursor;
    std::string window(40, '.');
    EXPECT_FALSE(cursor.tryWrite(Move::Enter, Lines("La;m()V"), "\n")) << "shut at first";

    cursor.open(window.data(), window.size());
    ASSERT_TRUE(cursor.tryWrite(Move::Enter, Lines("La;m()V"), "\n"));
    ASSERT_TRUE(cursor.tryWrite(Move::Leave, Lines("W", "-La;m()V"), "\n"));
    EXPECT_EQ(cursor.depth(), 0);
    ASSERT_TRUE(cursor.tryWrite(Move::Leave, Lines("-Lb;"), "\n")) << "never below 0";
    EXPECT_EQ(cursor.depth(), 0);
    // 9 + 3 + 10 + 5 bytes written: 13 left, and a 14-byte line does not fit.
    EXPECT_FALSE(cursor.tryWrite(Move::Stay, Lines("Lc;0123456789"), "\n"));
    EXPECT_EQ(window, " La;m()V\n W\n -La;m()V\n-Lb;\n.............");
    ASSERT_TRUE(cursor.tryWrite(Move::Stay, Lines("Lc;012345678"), "\n"));
    EXPECT_EQ(cursor.shut(), 40u);
    EXPECT_EQ(cursor.shut(), 0u) << "counted once";
    EXPECT_FALSE(cursor.tryWrite(Move::Stay, Lines("L"), "\n"));
}

TEST(TraceCursorTest, ReopenedWindowsHoldOnlyWhatFitsTheirOwnRoom) {
    TraceCursor cursor;
    std::string first(64, '.'), second(6, '.');
    cursor.open(first.data(), first.size());
    cursor.setDepth(2);
    EXPECT_EQ(cursor.shut(), 0u);
    cursor.open(second.data(), second.size());
    EXPECT_FALSE(cursor.tryWrite(Move::Stay, Lines("Lab;"), "\n")) << "7 bytes in a 6-byte room";
    ASSERT_TRUE(cursor.tryWrite(Move::Stay, Lines("Lb;"), "\n"));
    EXPECT_EQ(second, "  Lb;\n");
    EXPECT_EQ(first, std::string(64, '.'));
    EXPECT_EQ(cursor.shut(), 6u);
}

TEST(TraceCursorTest, ShutForGoodNeverOpensAgain) {
    TraceCursor cursor;
    std::string window(32, '.');
    cursor.open(window.data(), window.size());
    ASSERT_TRUE(cursor.tryWrite(Move::Enter, Lines("La;"), "\n"));
    cursor.keepShut();
    EXPECT_FALSE(cursor.tryWrite(Move::Enter, Lines("La;"), "\n"));
    EXPECT_EQ(cursor.shut(), 5u) << "what was claimed before is still counted";
    cursor.open(window.data() + 5, window.size() - 5);
    EXPECT_FALSE(cursor.isOpen());
    EXPECT_EQ(cursor.shut(), 0u);
    EXPECT_EQ(cursor.depth(), 1);
}

// More threads than stripes, in generations that end and hand their
// stripes on, all copying into one window while the cursor shuts and opens
// it again: every shut waits for exactly what was claimed, and no count is
// lost (a lost one would make a shut wait for ever).
TEST(TraceCursorTest, CountsOfThreadsThatComeAndGoAddUp) {
    constexpr int kThreads = kThreadStripes + 8;
    constexpr int kLinesEach = 2000;
    const std::string text = "Lapp/Counter;count()V";
    const std::size_t lineSize = text.size() + 1;  // at depth 0, with its line end
    std::string window(3 * kThreads * kLinesEach * lineSize, '.');
    TraceCursor cursor;
    std::size_t written = 0;
    for (int generation = 0; generation < 3; ++generation) {
        cursor.open(window.data() + written, window.size() - written);
        std::atomic<int> refused{0};
        std::atomic<int> started{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                auto write = [&] {
                    if (!cursor.tryWrite(Move::Stay, Lines(text), "\n")) ++refused;
                };
                // Every thread has its stripe before any goes on: some
                // must share one.
                write();
                ++started;
                while (started.load() < kThreads) std::this_thread::yield();
                for (int n = 1; n < kLinesEach; ++n) write();
            });
        }
        // A shut while they run waits for what was claimed so far.
        while (started.load() < kThreads) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::future<std::size_t> midway = std::async(std::launch::async, [&] { return cursor.shut(); });
        if (midway.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            // It would wait for ever, and this test with it.
            ADD_FAILURE() << "a shut still waits: a count was lost";
            std::abort();
        }
        std::size_t claimed = midway.get();
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(claimed % lineSize, 0u);
        EXPECT_EQ(claimed / lineSize + static_cast<std::size_t>(refused.load()),
                  static_cast<std::size_t>(kThreads * kLinesEach));
        EXPECT_EQ(cursor.shut(), 0u);
        written += claimed;
    }
    std::string expected;
    for (std::size_t n = 0; n < written / lineSize; ++n) expected += text + "\n";
    EXPECT_EQ(window.substr(0, written), expected);
    EXPECT_EQ(window.find_first_not_of('.', written), std::string::npos);
}

// A thread that finds the trace moved on since its own last line watches
// whether the other writer goes on, and lets it for a turn; one that writes
// alone never watches. Taking turns loses no line and never waits long.
TEST(TraceCursorTest, WritersTakeTurnsWithoutLosingLinesOrWaitingLong) {
    using Pace = TraceCursor::Pace;
    TraceCursor cursor;
    std::string window(16 << 20, '.');
    cursor.open(window.data(), window.size());
    // The first line after the window opens finds the position moved.
    for (int n = 0; n < 1000; ++n) {
        ASSERT_TRUE(cursor.tryWrite(Move::Stay, Lines("Lb;"), "\n", Pace::AfterOthersTurn));
    }
    EXPECT_EQ(cursor.turnChecks(), 1u) << "a thread alone watched for others";
    std::thread([&] { EXPECT_TRUE(cursor.tryWrite(Move::Stay, Lines("La;"), "\n")); }).join();
    for (int n = 0; n < 100; ++n) {
        ASSERT_TRUE(cursor.tryWrite(Move::Stay, Lines("Lb;"), "\n", Pace::AfterOthersTurn));
    }
    EXPECT_EQ(cursor.turnChecks(), 2u) << "once after another thread's line, not after each";
    std::size_t claimed = cursor.shut();
    std::vector<std::string> first = lines(window.substr(0, claimed));
    ASSERT_EQ(first.size(), 1101u);
    EXPECT_EQ(first[999], "Lb;");
    EXPECT_EQ(first[1000], "La;");
}

// Another thread writes line after line while this one writes twenty: each
// of ours lets a run of the other's go first. It measures what two threads
// on two processors do, so it runs alone (see tests/CMakeLists.txt); a
// round in which the other thread was off its processor says nothing and is
// tried again. Without turns every round lets about one line by.
TEST(TraceCursorTimingTest, AWaitingWriterLetsTheOtherWriteOn) {
    using Pace = TraceCursor::Pace;
    using Clock = std::chrono::steady_clock;
    constexpr int kTurns = 20;
    std::vector<int> medians;
    for (int round = 0; round < 10 && medians.size() < 3; ++round) {
        TraceCursor cursor;
        std::string window(16 << 20, '.');
        cursor.open(window.data(), window.size());
        std::atomic<bool> stop{false};
        std::atomic<int> othersLines{0};
        std::atomic<int> refused{0};
        // A line every half microsecond: well within the 3 us that makes a
        // writer count as done, and never near the window's end.
        std::thread other([&] {
            while (!stop.load()) {
                if (cursor.tryWrite(Move::Stay, Lines("La;"), "\n")) {
                    othersLines.fetch_add(1, std::memory_order_relaxed);
                } else {
                    ++refused;
                }
                auto next = Clock::now() + std::chrono::nanoseconds(500);
                while (Clock::now() < next) {
                }
            }
        });
        // Whether the other was seen writing just now, so that it is on a
        // processor as ours begins.
        auto otherIsWriting = [&] {
            int seen = othersLines.load();
            auto until = Clock::now() + std::chrono::milliseconds(2);
            while (Clock::now() < until) {
                if (othersLines.load() != seen) return true;
            }
            return false;
        };
        std::vector<int> othersBefore;
        std::vector<bool> counts;
        auto deadline = Clock::now() + std::chrono::milliseconds(300);
        for (int n = 0; n < kTurns && Clock::now() < deadline; ++n) {
            bool writing = otherIsWriting() && otherIsWriting();
            counts.push_back(writing);
            othersBefore.push_back(othersLines.load());
            ASSERT_TRUE(cursor.tryWrite(Move::Stay, Lines("Lb;"), "\n", Pace::AfterOthersTurn));
        }
        stop.store(true);
        other.join();
        EXPECT_EQ(refused.load(), 0) << "a turn lasted until the window was full";

        std::size_t claimed = cursor.shut();
        std::vector<std::string> all = lines(window.substr(0, claimed));
        std::size_t ours = othersBefore.size();
        ASSERT_EQ(all.size(), static_cast<std::size_t>(othersLines.load()) + ours);
        // How many of the other's lines were placed while each of ours
        // waited (one may have been placed and not yet counted when ours
        // began).
        int othersSoFar = 0;
        std::size_t index = 0;
        std::vector<int> letThrough;
        for (const std::string& line : all) {
            if (line == "La;") {
                ++othersSoFar;
            } else {
                ASSERT_EQ(line, "Lb;");
                if (counts[index]) letThrough.push_back(othersSoFar - othersBefore[index]);
                ++index;
            }
        }
        ASSERT_EQ(index, ours);
        if (letThrough.size() < kTurns / 2) continue;
        std::sort(letThrough.begin(), letThrough.end());
        medians.push_back(letThrough[letThrough.size() / 2]);
    }
    if (medians.empty()) GTEST_SKIP() << "the other thread never ran beside this one";
    EXPECT_GE(*std::max_element(medians.begin(), medians.end()), 20)
        << "our lines did not let the other's go on";
}

using TraceLinesTest = AgentTest;

// Threads place lines without the lock and, when the window is full, with
// it, as the handlers do, through windows of one page: one order, every
// line whole, nothing between them.
TEST_F(TraceLinesTest, ThreadsPlacingLinesWithAndWithoutTheLockKeepOneOrder) {
    closeTraceFile();
    std::string reason;
    state->traceFile = TextFile::create(dir.file("trace.txt"), 4096, reason);
    ASSERT_NE(state->traceFile, nullptr) << reason;
    constexpr int kThreads = 4;
    constexpr int kCalls = 3000;
    std::atomic<int> locked{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string line = "Lapp/T" + std::to_string(t) + ";m" + std::string(t * 7, 'x') + "()V";
            std::string exit = "-" + line;
            for (int i = 0; i < kCalls; ++i) {
                if (!writeEntryLineUnlocked(line)) {
                    AgentMonitorScope lock;
                    writeEntryLine(line);
                    ++locked;
                }
                if (!writeExitLineUnlocked(exit)) {
                    AgentMonitorScope lock;
                    writeExitLines(exit, "");
                    ++locked;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(traceDepth(), 0);
    std::string trace = traceText();
    EXPECT_EQ(depthMismatches(trace), 0);
    CallCounts counts = countCalls(trace);
    for (int t = 0; t < kThreads; ++t) {
        std::string line = "Lapp/T" + std::to_string(t) + ";m" + std::string(t * 7, 'x') + "()V";
        EXPECT_EQ(counts.entries[line], kCalls) << line;
        EXPECT_EQ(counts.exits[line], kCalls) << line;
    }
    // Over half a megabyte through windows of a page (64 KiB on Windows).
    EXPECT_GT(locked.load(), 5) << "the windows were switched under the lock";
    EXPECT_LT(locked.load(), kThreads * kCalls);
}

class UnlockedEventsTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        state->records->enable();
        state->ownLock = true;
    }
    // Runs `events` while another thread holds the agent lock for a while:
    // whether they were done before it let go.
    bool doneWhileTheLockIsHeld(const std::function<void()>& events) {
        std::promise<void> holding;
        std::atomic<bool> released{false};
        std::atomic<bool> doneFirst{false};
        std::thread holder([&] {
            AgentMonitorScope lock;
            holding.set_value();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            released = true;
        });
        holding.get_future().wait();
        events();
        doneFirst = !released.load();
        holder.join();
        return doneFirst.load();
    }
};

TEST_F(UnlockedEventsTest, OnlyCallsOfKnownMethodsWithoutReceiverOrWithATaggedOnePassTheLock) {
    jclass tool = vm.klass("Lapp/Tool;");
    jmethodID twice = vm.method(tool, "twice", "(I)I", MethodKind::Static);
    jmethodID later = vm.method(tool, "later", "()V", MethodKind::Static);
    jmethodID run = vm.method(tool, "run", "()V");
    jthread thread = vm.thread(vm.object(tool));

    enter(thread, twice);  // its key goes into the legend with the lock
    leave(thread, twice);
    EXPECT_TRUE(doneWhileTheLockIsHeld([&] {
        enter(thread, twice);
        leave(thread, twice);
    }));
    EXPECT_FALSE(doneWhileTheLockIsHeld([&] { leave(thread, later); }))
        << "a key not yet in the legend";
    EXPECT_TRUE(doneWhileTheLockIsHeld([&] {
        enter(thread, later);
        leave(thread, later);
    }));
    enter(thread, run);  // its receiver is tagged with the lock
    leave(thread, run);
    EXPECT_TRUE(doneWhileTheLockIsHeld([&] {
        enter(thread, run);
        leave(thread, run);
    }));
    vm.setReceiver(thread, vm.object(tool));
    EXPECT_FALSE(doneWhileTheLockIsHeld([&] { enter(thread, run); })) << "a receiver met first";
    leave(thread, run);

    writeLegends();
    EXPECT_EQ(traceText(),
              " Lapp/Tool;twice(I)I\n"
              " -Lapp/Tool;twice(I)I\n"
              " Lapp/Tool;twice(I)I\n"
              " -Lapp/Tool;twice(I)I\n"
              "Warning: Left method that hasn't been entered...\n"
              "-Lapp/Tool;later()V\n"
              " Lapp/Tool;later()V\n"
              " -Lapp/Tool;later()V\n"
              " Lapp/Tool;run()V\n"
              " -Lapp/Tool;run()V\n"
              " Lapp/Tool;run()V\n"
              " -Lapp/Tool;run()V\n"
              " Lapp/Tool;run()V\n"
              " -Lapp/Tool;run()V\n");
    EXPECT_EQ(readFile(dir.file("ObjectLegend.txt")), "1 == Lapp/Tool;\n2 == Lapp/Tool;\n");
}

TEST_F(UnlockedEventsTest, OnceAnActivationMethodIsMetEveryLineTakesTheLock) {
    state->activations.append("Lapp/Main;main;([Ljava/lang/String;)V");
    jclass main = vm.klass("Lapp/Main;");
    jmethodID twice = vm.method(main, "twice", "(I)I", MethodKind::Static);
    jmethodID mainMethod = vm.method(main, "main", "([Ljava/lang/String;)V", MethodKind::Static);
    jthread thread = vm.thread();

    enter(thread, twice);
    leave(thread, twice);
    EXPECT_TRUE(doneWhileTheLockIsHeld([&] { enter(thread, twice); }));
    leave(thread, twice);
    enter(thread, mainMethod);
    EXPECT_EQ(state->activationDepth, 2);
    EXPECT_FALSE(doneWhileTheLockIsHeld([&] { enter(thread, twice); }));
    leave(thread, twice);
    leave(thread, mainMethod);
    EXPECT_EQ(depthMismatches(traceText()), 0);
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "tests/TestSupport.h"
#include "tracing/MethodRecords.h"

namespace {

jmethodID idOf(std::size_t i) { return reinterpret_cast<jmethodID>(0x1000 + 8 * i); }

std::unique_ptr<MethodRecord> recordOf(std::size_t i) {
    auto record = std::make_unique<MethodRecord>();
    record->method = idOf(i);
    record->setTexts("-m" + std::to_string(i), "");
    return record;
}

class MethodRecordTableTest : public AgentTest {};

TEST_F(MethodRecordTableTest, FindsEveryRecordWhileTheTableGrowsUnderReaders) {
    MethodRecordTable table;
    constexpr std::size_t kCount = 20000;
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    // Readers probe records already kept while the writer keeps growing it.
    std::atomic<std::size_t> kept{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                std::size_t upTo = kept.load();
                for (std::size_t i = 0; i < upTo; i += 97) {
                    const MethodRecord* found = table.find(idOf(i));
                    if (found == nullptr || found->method != idOf(i)) ++wrong;
                }
            }
        });
    }
    for (std::size_t i = 0; i < kCount; ++i) {
        table.remember(recordOf(i));
        kept.store(i + 1);
    }
    done = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(table.size(), kCount);
    EXPECT_EQ(table.find(idOf(kCount)), nullptr);
    EXPECT_EQ(table.find(idOf(7))->exitLine, "-m7");
}

TEST_F(MethodRecordTableTest, SecondRecordOfAMethodYieldsTheFirst) {
    MethodRecordTable table;
    const MethodRecord* first = table.remember(recordOf(3));
    auto again = recordOf(3);
    again->exitLine = "-other";
    EXPECT_EQ(table.remember(std::move(again)), first);
    EXPECT_EQ(table.find(idOf(3))->exitLine, "-m3");
}

TEST_F(MethodRecordTableTest, ForgetAllEmptiesTheTableEvenWithAHandlerStillRunning) {
    MethodRecordTable table;
    table.remember(recordOf(1));
    const MethodRecord* old = table.find(idOf(1));
    {
        // A handler that began before the unload and still reads: its
        // record must stay readable after the wait gives up.
        EventHandlerScope handler;
        ASSERT_TRUE(handler.entered());
        table.forgetAll();
        EXPECT_EQ(table.find(idOf(1)), nullptr);
        EXPECT_EQ(old->exitLine, "-m1");
    }
    table.remember(recordOf(2));
    table.forgetAll();  // no handler: the wait succeeds
    EXPECT_EQ(old->exitLine, "-m1");
    EXPECT_EQ(table.size(), 0u);
    table.forgetAll();  // nothing kept since: returns at once
}

TEST_F(MethodRecordTableTest, ForgetAllWithoutWaitingKeepsOldRecordsReadable) {
    MethodRecordTable table;
    table.remember(recordOf(1));
    const MethodRecord* old = table.find(idOf(1));
    // A class redefined while handlers may be held inside (a debugger's
    // suspension): nothing is waited for, and nothing freed.
    auto started = std::chrono::steady_clock::now();
    table.forgetAll(/*waitForReaders=*/false);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(table.find(idOf(1)), nullptr);
    EXPECT_EQ(old->exitLine, "-m1");  // a use after free under AddressSanitizer
    table.remember(recordOf(2));
    EXPECT_EQ(table.find(idOf(2))->exitLine, "-m2");
    table.forgetAll();  // waits, and frees both earlier generations
    EXPECT_EQ(table.size(), 0u);
}

}  // namespace

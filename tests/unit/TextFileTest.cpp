#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/resource.h>
#endif

#include "output/MappedFile.h"
#include "output/TextFile.h"
#include "tests/TestSupport.h"

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

#ifdef _WIN32
const char* const kLineEnd = "\r\n";
#else
const char* const kLineEnd = "\n";
#endif

// The text as readFile gives it: CR LF read as LF.
std::string withoutCr(std::string text) {
    std::string::size_type at = 0;
    while ((at = text.find('\r', at)) != std::string::npos) text.erase(at, 1);
    return text;
}

// The file's bytes, line ends as written.
std::string bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TextFileTest : public ::testing::Test {
protected:
    void TearDown() override { setMappedFileLimitForTests(0); }

    std::unique_ptr<TextFile> create(std::size_t step) {
        std::string reason;
        std::unique_ptr<TextFile> file = TextFile::create(path, step, reason);
        EXPECT_TRUE(file != nullptr) << reason;
        return file;
    }
    // Writes the line through the file and into `expected` as it must read.
    void writeLine(TextFile& file, std::size_t indent, const std::string& text) {
        file.writeLine(indent, text);
        expected += std::string(indent, ' ') + text + kLineEnd;
    }
    uint64_t fileSize() { return std::filesystem::file_size(path); }

    ScratchDirectory dir;
    std::string path = dir.file("out.txt");
    std::string expected;
    // The smallest step both platforms can map: Windows maps in 64 KiB units.
    const std::size_t step = 64 * 1024;
};

TEST_F(TextFileTest, LinesAcrossGrowthStepsAreWholeAndInOrder) {
    std::unique_ptr<TextFile> file = create(step);
    ASSERT_TRUE(file->mapped());
    // Right after creation: one step of blanks, nothing else.
    EXPECT_EQ(fileSize(), step);
    EXPECT_EQ(textBeforePadding(path), "");
    // Lines of many lengths, so that the step ends fall inside lines, inside
    // indentations and just after line ends.
    for (int n = 0; expected.size() < 3 * step + 100; ++n) {
        writeLine(*file, static_cast<std::size_t>(n % 7), "Lapp/Job" + std::to_string(n) +
                                                              std::string(n % 101, 'x') + ";run()V");
        if (n % 500 == 0) {
            ASSERT_EQ(bytesOf(path).substr(0, expected.size()), expected);
        }
    }
    // What a death now would leave: every line, then blanks up to the step end.
    EXPECT_EQ(fileSize(), 4 * step);
    EXPECT_EQ(textBeforePadding(path), withoutCr(expected));
    EXPECT_EQ(bytesOf(path).substr(0, expected.size()), expected);
    EXPECT_EQ(bytesOf(path).find_first_not_of(' ', expected.size()), std::string::npos);
    file->close();
    EXPECT_EQ(fileSize(), expected.size());
    EXPECT_EQ(bytesOf(path), expected);
}

// Steps of the trace's size, and one that is not a whole number of the
// kernel's large pages (2 MiB): blanks are written in large pieces and the
// windows placed to take large pages; the bytes are the same wherever the
// windows and the pieces begin and end.
TEST_F(TextFileTest, LargeStepsHoldEveryLineInOrder) {
    for (std::size_t large : {TextFile::kTraceStep, (std::size_t(2) << 20) + 2 * step}) {
        SCOPED_TRACE(large);
        expected.clear();
        std::unique_ptr<TextFile> file = create(large);
        ASSERT_TRUE(file->mapped());
        EXPECT_EQ(fileSize(), large);
        EXPECT_EQ(bytesOf(path), std::string(large, ' '));
        for (int n = 0; expected.size() < 2 * large + 1000; ++n) {
            writeLine(*file, static_cast<std::size_t>(n % 5),
                      "Lapp/Job" + std::to_string(n) + std::string(n % 61, 'y') + ";run()V");
        }
        EXPECT_EQ(fileSize(), 3 * large);
        std::string bytes = bytesOf(path);
        EXPECT_EQ(bytes.substr(0, expected.size()), expected);
        EXPECT_EQ(bytes.find_first_not_of(' ', expected.size()), std::string::npos);
        file->close();
        EXPECT_EQ(bytesOf(path), expected);
    }
}

#ifdef __linux__
// Each window is mapped over a range reserved for it. Read right after the
// mapping, with nothing allocated in between: the window is there, at the
// large-page phase of its offset when it is large, and no reserved
// (inaccessible) range is left against either of its ends.
TEST_F(TextFileTest, WindowsAreMappedWithoutLeavingReservedRangesBeside) {
    std::string reason;
    fileOs::Handle file = fileOs::kNoHandle;
    ASSERT_TRUE(fileOs::createFile(path, file, reason)) << reason;
    const std::size_t large = std::size_t(2) << 20;
    struct Case {
        uint64_t offset;
        std::size_t size;
    };
    std::string maps;
    maps.reserve(1 << 20);
    uint64_t fileSize = 0;
    for (Case c : {Case{0, TextFile::kTraceStep}, Case{TextFile::kTraceStep, TextFile::kTraceStep},
                   Case{2 * TextFile::kTraceStep, large + 2 * step},
                   Case{2 * TextFile::kTraceStep + large + 2 * step, step}}) {
        SCOPED_TRACE(c.offset);
        ASSERT_EQ(c.offset, fileSize);
        ASSERT_TRUE(fileOs::fillBlanks(file, c.offset, c.size, reason)) << reason;
        fileSize += c.size;
        char* window = fileOs::mapWindow(file, fileSize, c.offset, c.size, reason);
        ASSERT_NE(window, nullptr) << reason;
        maps.clear();
        int fd = ::open("/proc/self/maps", O_RDONLY);
        ASSERT_GE(fd, 0);
        char* end = maps.data();
        maps.resize(maps.capacity());
        for (ssize_t got; (got = ::read(fd, end, maps.data() + maps.size() - end)) > 0;) end += got;
        ::close(fd);
        maps.resize(static_cast<std::size_t>(end - maps.data()));
        auto start = reinterpret_cast<uintptr_t>(window);
        if (c.size >= large) {
            EXPECT_EQ((start - c.offset) % large, 0u);
        }
        bool mapped = false;
        for (const std::string& line : lines(maps)) {
            uintptr_t from = 0, to = 0;
            char perms[5] = {};
            ASSERT_EQ(std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms), 3) << line;
            if (from == start && to == start + c.size) mapped = std::string(perms) == "rw-s";
            if (std::string(perms) == "---p") {
                EXPECT_NE(to, start) << line;
                EXPECT_NE(from, start + c.size) << line;
            }
        }
        EXPECT_TRUE(mapped) << maps;
        std::memcpy(window + c.size - 3, "end", 3);
        fileOs::unmapWindow(window, c.size);
    }
    ASSERT_TRUE(fileOs::closeFile(file, reason)) << reason;
    std::string bytes = bytesOf(path);
    ASSERT_EQ(bytes.size(), fileSize);
    EXPECT_EQ(bytes.substr(TextFile::kTraceStep - 3, 3), "end");
    EXPECT_EQ(bytes.substr(fileSize - 3), "end");
    EXPECT_EQ(bytes.find_first_not_of(' '), TextFile::kTraceStep - 3);
}
#endif

TEST_F(TextFileTest, LineLongerThanOneStep) {
    std::unique_ptr<TextFile> file = create(step);
    writeLine(*file, 3, "first");
    writeLine(*file, 2 * step + 17, "L" + std::string(3 * step, 'a') + ";m()V");
    writeLine(*file, 1, "last");
    EXPECT_EQ(bytesOf(path).substr(0, expected.size()), expected);
    EXPECT_EQ(fileSize(), 6 * step);
    file->close();
    EXPECT_EQ(bytesOf(path), expected);
}

TEST_F(TextFileTest, ExactSizeAfterClose) {
    // Nothing written: empty.
    create(step)->close();
    EXPECT_EQ(fileSize(), 0u);
    // Ending exactly at a step's end: no step of blanks is added.
    std::unique_ptr<TextFile> file = create(step);
    file->write(std::string(step, 'z'));
    EXPECT_EQ(fileSize(), step);
    file.reset();  // closing is the destructor's too
    EXPECT_EQ(fileSize(), step);
    EXPECT_EQ(bytesOf(path), std::string(step, 'z'));
    // An existing file of that name is replaced.
    writeFile(path, std::string(3 * step, 'o'));
    file = create(step);
    writeLine(*file, 0, "new");
    file->close();
    EXPECT_EQ(bytesOf(path), expected);
    // Writes after close are dropped, not crashed on.
    file->write("late");
    file->writeBlanks(3 * step);
    EXPECT_EQ(bytesOf(path), expected);
}

TEST_F(TextFileTest, FailureToGrowFallsBackToBufferedWritingOnce) {
    setMappedFileLimitForTests(2 * step);
    std::unique_ptr<TextFile> file = create(step);
    CaptureStderr();
    int n = 0;
    for (; expected.size() < 2 * step - 40; ++n) writeLine(*file, 2, "line " + std::to_string(n));
    EXPECT_TRUE(file->mapped());
    EXPECT_EQ(GetCapturedStderr(), "");
    CaptureStderr();
    // This line crosses the last step the disk allows; later ones are
    // buffered, a good many steps of them.
    for (; expected.size() < 5 * step; ++n) writeLine(*file, 2, "line " + std::to_string(n));
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err, "[ERROR] Kelmora: cannot extend " + path +
                       " (No space left on device); it is written through a buffer from now "
                       "on.\n");
    EXPECT_FALSE(file->mapped());
    // The mapped part is in the file already, with no blanks after it.
    std::string before = bytesOf(path);
    EXPECT_EQ(before, expected.substr(0, before.size()));
    EXPECT_GE(before.size(), 2 * step - 40);
    setMappedFileLimitForTests(0);
    CaptureStderr();
    file->close();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(bytesOf(path), expected);
}

#ifndef _WIN32
// The same with the kernel refusing: a file size limit makes pwrite stop
// part-way through a step.
TEST_F(TextFileTest, KernelRefusingToGrowFallsBackToBufferedWriting) {
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit limited = old;
    limited.rlim_cur = 2 * step + 1000;
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::unique_ptr<TextFile> file = create(step);
    CaptureStderr();
    for (int n = 0; expected.size() < 2 * step + 500; ++n) {
        writeLine(*file, 1, "line " + std::to_string(n));
    }
    std::string err = GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(err, "[ERROR] Kelmora: cannot extend " + path +
                       " (File too large); it is written through a buffer from now on.\n");
    file->close();
    EXPECT_EQ(bytesOf(path), expected);
}
#endif

// A file that cannot be mapped at all (a device) is written through the
// buffer from the first line.
TEST_F(TextFileTest, UnmappableFileIsWrittenThroughTheBuffer) {
#ifdef _WIN32
    path = "NUL";
#else
    path = "/dev/null";
#endif
    CaptureStderr();
    std::string reason;
    std::unique_ptr<TextFile> file = TextFile::create(path, step, reason);
    std::string err = GetCapturedStderr();
    ASSERT_TRUE(file != nullptr) << reason;
    EXPECT_FALSE(file->mapped());
    EXPECT_EQ(err.rfind("[ERROR] Kelmora: cannot ", 0), 0u) << err;
    EXPECT_NE(err.find(" " + path + " ("), std::string::npos) << err;
    EXPECT_NE(err.find("); it is written through a buffer from now on.\n"), std::string::npos)
        << err;
    CaptureStderr();
    writeLine(*file, 4, "Lapp/Job;run()V");
    file->close();
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(TextFileTest, UncreatableFileGivesTheReason) {
    std::filesystem::create_directory(path);
    std::string reason;
    EXPECT_TRUE(TextFile::create(path, step, reason) == nullptr);
    EXPECT_FALSE(reason.empty());
}

}  // namespace

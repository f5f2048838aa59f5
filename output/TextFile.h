// A text file whose every line is in the file as soon as it is written, so
// that a process that dies loses nothing it wrote. Lines go through a shared
// mapping of the file (MappedFile); when the file cannot be mapped or grown,
// the agent says so once on standard error and goes on through a buffered
// stream. Line ends are written by this type: CR LF on Windows, LF elsewhere.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "output/MappedFile.h"

// Writes `count` blanks to `out` (the trace's indentation where lines go
// through a stream).
void writeBlanks(FILE* out, std::size_t count);

// Copies one line to `at`: `blanks` blanks, `text` and `lineEnd`; returns
// the byte after it.
inline char* copyLine(char* at, std::size_t blanks, std::string_view text,
                      std::string_view lineEnd) {
    std::memset(at, ' ', blanks);
    at += blanks;
    std::memcpy(at, text.data(), text.size());
    at += text.size();
    std::memcpy(at, lineEnd.data(), lineEnd.size());
    return at + lineEnd.size();
}

class TextFile {
public:
#ifdef _WIN32
    static constexpr char kLineEnd[] = "\r\n";
#else
    static constexpr char kLineEnd[] = "\n";
#endif

    // Steps by which a file grows; after a death the file ends in at most
    // one step of blanks.
    static constexpr std::size_t kTraceStep = std::size_t(4) << 20;
    static constexpr std::size_t kLegendStep = std::size_t(1) << 20;

    // Creates the file, replacing one of that name; null with the reason
    // when it cannot be created.
    static std::unique_ptr<TextFile> create(const std::string& path, std::size_t step,
                                            std::string& reason);
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    void write(std::string_view text) {
        std::size_t done = mapping_.append(text.data(), text.size());
        if (done != text.size()) writeRest(text.substr(done));
    }
    void writeBlanks(std::size_t count) {
        std::size_t done = mapping_.appendBlanks(count);
        if (done != count) writeBlanksRest(count - done);
    }
    // One whole line: `blanks` blanks, `text` and the line end, copied at
    // once when the window has room for it all.
    void writeLine(std::size_t blanks, std::string_view text) {
        std::size_t size = blanks + text.size() + sizeof kLineEnd - 1;
        if (char* at = mapping_.claim(size)) {
            copyLine(at, blanks, text, std::string_view(kLineEnd, sizeof kLineEnd - 1));
            return;
        }
        writeBlanks(blanks);
        write(text);
        endLine();
    }
    void endLine() { write(std::string_view(kLineEnd, sizeof kLineEnd - 1)); }

    // The window's unwritten bytes, for lines copied in by someone else;
    // null when the file is not mapped. `wrote` then says how many of them
    // were filled, from the first.
    char* freeRoom(std::size_t& room) {
        room = mapping_.room();
        return mapping_.claim(0);
    }
    void wrote(std::size_t count) { mapping_.claim(count); }

    // Whether lines still go through the mapping.
    bool mapped() const { return mapping_.mapped(); }
    const std::string& path() const { return path_; }

    // Cuts the file to what was written and closes it; a failure is said on
    // standard error. Later writes are dropped.
    void close();

private:
    explicit TextFile(std::string path) : path_(std::move(path)) {}
    // What the mapping did not take: it has just failed, or the file is
    // written through the stream, or closed.
    void writeRest(std::string_view rest);
    void writeBlanksRest(std::size_t count);
    // The mapping failed at `stage`: say so and go on through a stream.
    void fallBack(const char* stage, const std::string& reason);

    std::string path_;
    MappedFile mapping_;
    FILE* stream_ = nullptr;  // set once the mapping has failed
};

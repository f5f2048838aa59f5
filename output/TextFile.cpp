#include "output/TextFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr char kBlanks[] =
    "                                                                "
    "                                                                ";
constexpr std::size_t kBlankCount = sizeof kBlanks - 1;

}  // namespace

void writeBlanks(FILE* out, std::size_t count) {
    while (count > 0) {
        std::size_t chunk = std::min(count, kBlankCount);
        std::fwrite(kBlanks, 1, chunk, out);
        count -= chunk;
    }
}

std::unique_ptr<TextFile> TextFile::create(const std::string& path, std::size_t step,
                                           std::string& reason) {
    std::unique_ptr<TextFile> file(new TextFile(path));
    if (!file->mapping_.create(path, reason)) return nullptr;
    const char* stage = "";
    std::string mapReason;
    if (!file->mapping_.map(step, stage, mapReason)) file->fallBack(stage, mapReason);
    return file;
}

TextFile::~TextFile() { close(); }

void TextFile::fallBack(const char* stage, const std::string& reason) {
    std::fprintf(stderr,
                 "[ERROR] Kelmora: cannot %s %s (%s); it is written through a buffer from now "
                 "on.\n",
                 stage, path_.c_str(), reason.c_str());
    std::fflush(stderr);
    std::string streamReason;
    stream_ = mapping_.detachToStream(streamReason);
    if (stream_ == nullptr) {
        std::fprintf(stderr, "[ERROR] Kelmora: cannot write %s (%s); its lines are lost.\n",
                     path_.c_str(), streamReason.c_str());
        std::fflush(stderr);
    }
}

void TextFile::writeRest(std::string_view rest) {
    // Still open but no longer mapped: the mapping has just failed.
    if (mapping_.isOpen()) fallBack(mapping_.failedStage(), mapping_.failure());
    if (stream_ != nullptr) std::fwrite(rest.data(), 1, rest.size(), stream_);
}

void TextFile::writeBlanksRest(std::size_t count) {
    if (mapping_.isOpen()) fallBack(mapping_.failedStage(), mapping_.failure());
    if (stream_ != nullptr) ::writeBlanks(stream_, count);
}

void TextFile::close() {
    std::string reason;
    bool ok = mapping_.close(reason);
    if (stream_ != nullptr) {
        // A failed write shows in the stream's error flag or at its close.
        bool streamOk = std::ferror(stream_) == 0;
        streamOk = std::fclose(stream_) == 0 && streamOk;
        stream_ = nullptr;
        if (!streamOk && ok) {
            ok = false;
            reason = std::strerror(errno);
        }
    }
    if (!ok) {
        std::fprintf(stderr, "[ERROR] Kelmora: cannot write %s (%s).\n", path_.c_str(),
                     reason.c_str());
        std::fflush(stderr);
    }
}

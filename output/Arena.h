// Memory for what the agent keeps until it unloads (the method keys): carved
// one after another from large chunks and never freed one by one, so that a
// new key costs no allocation of its own and its bytes sit next to the last
// key's. The chunks are asked of the system in one piece each: on Linux as
// transparent huge pages where the system grants them, so that the pages of
// thousands of keys fault in once.
#pragma once

#include <cstddef>
#include <string_view>

class Arena {
public:
    static constexpr std::size_t kChunkSize = std::size_t(2) << 20;

    Arena() = default;
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // `size` bytes aligned to `align` (a power of two, at most 16); null
    // when the system has no memory for another chunk.
    void* allocate(std::size_t size, std::size_t align);
    // A copy of `text`; null when out of memory.
    const char* copy(std::string_view text);

    // Bytes handed out so far.
    std::size_t used() const { return used_; }

private:
    struct Chunk {
        Chunk* next;
        std::size_t size;
    };
    Chunk* chunks_ = nullptr;
    char* cursor_ = nullptr;
    char* limit_ = nullptr;
    std::size_t used_ = 0;
};

// The platform's half: a chunk of `size` bytes (a multiple of the page
// size), null when none can be had, and its release.
namespace arenaOs {
void* mapChunk(std::size_t size);
void unmapChunk(void* chunk, std::size_t size);
}  // namespace arenaOs

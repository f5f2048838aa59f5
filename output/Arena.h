// Memory for what the agent keeps until it unloads (the method keys): carved
// one after another from large chunks and never freed one by one, so that a
// new key costs no allocation of its own and its bytes sit next to the last
// key's. The chunks are asked of the system in one piece each: on Linux as
// transparent huge pages where the system grants them, so that the pages of
// thousands of keys fault in once.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

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

// Zeroed memory for a table's array, in one piece of at least `size` bytes:
// a large one straight from the system in whole chunks (huge pages where
// granted: a table of a megabyte faults in once, not 256 times), a small
// one from the heap. Empty (null data) when there is no memory for it.
class ZeroedBlock {
public:
    ZeroedBlock() = default;
    explicit ZeroedBlock(std::size_t size);
    ~ZeroedBlock();
    ZeroedBlock(ZeroedBlock&& other) noexcept;
    ZeroedBlock& operator=(ZeroedBlock&& other) noexcept;
    void* data() const { return data_; }

    // Sizes from which the block comes in chunks.
    static constexpr std::size_t kChunkedFrom = Arena::kChunkSize / 2;

private:
    void release();
    void* data_ = nullptr;
    std::size_t mapped_ = 0;  // the chunks' size; 0 for heap memory
};

// The platform's half: a chunk of `size` bytes (a multiple of the page
// size), null when none can be had, and its release.
namespace arenaOs {
void* mapChunk(std::size_t size);
void unmapChunk(void* chunk, std::size_t size);
}  // namespace arenaOs

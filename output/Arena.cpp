#include "output/Arena.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace {

constexpr std::size_t kChunkHeader = 16;

std::uintptr_t alignUp(std::uintptr_t value, std::size_t align) {
    return (value + align - 1) & ~static_cast<std::uintptr_t>(align - 1);
}

}  // namespace

namespace arenaOs {

#ifdef _WIN32

void* mapChunk(std::size_t size) {
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmapChunk(void* chunk, std::size_t) { VirtualFree(chunk, 0, MEM_RELEASE); }

#else

void* mapChunk(std::size_t size) {
    // Twice the size, cut down to a start on a huge-page boundary.
    std::size_t span = size + Arena::kChunkSize;
    void* mapped = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<std::uintptr_t>(mapped);
    std::uintptr_t aligned = alignUp(start, Arena::kChunkSize);
    if (aligned > start) ::munmap(mapped, aligned - start);
    std::size_t tail = span - (aligned - start) - size;
    if (tail > 0) ::munmap(reinterpret_cast<char*>(aligned) + size, tail);
#ifdef MADV_HUGEPAGE
    // Only a wish: without huge pages the chunk faults in page by page.
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

void unmapChunk(void* chunk, std::size_t size) { ::munmap(chunk, size); }

#endif

}  // namespace arenaOs

Arena::~Arena() {
    while (chunks_ != nullptr) {
        Chunk* next = chunks_->next;
        arenaOs::unmapChunk(chunks_, chunks_->size);
        chunks_ = next;
    }
}

void* Arena::allocate(std::size_t size, std::size_t align) {
    auto at = alignUp(reinterpret_cast<std::uintptr_t>(cursor_), align);
    if (cursor_ == nullptr || at + size > reinterpret_cast<std::uintptr_t>(limit_)) {
        // A new chunk; the rest of the old one is left unused (a few bytes:
        // what is asked for is small beside a chunk).
        std::size_t chunkSize = kChunkSize;
        if (size + kChunkHeader > chunkSize) {
            chunkSize = alignUp(size + kChunkHeader, kChunkSize);
        }
        void* memory = arenaOs::mapChunk(chunkSize);
        if (memory == nullptr) return nullptr;
        auto* chunk = static_cast<Chunk*>(memory);
        chunk->next = chunks_;
        chunk->size = chunkSize;
        chunks_ = chunk;
        cursor_ = static_cast<char*>(memory) + kChunkHeader;
        limit_ = static_cast<char*>(memory) + chunkSize;
        at = alignUp(reinterpret_cast<std::uintptr_t>(cursor_), align);
    }
    cursor_ = reinterpret_cast<char*>(at + size);
    used_ += size;
    return reinterpret_cast<void*>(at);
}

const char* Arena::copy(std::string_view text) {
    auto* bytes = static_cast<char*>(allocate(text.size(), 1));
    if (bytes != nullptr && !text.empty()) std::memcpy(bytes, text.data(), text.size());
    return bytes;
}

ZeroedBlock::ZeroedBlock(std::size_t size) {
    if (size >= kChunkedFrom) {
        std::size_t chunks = alignUp(size, Arena::kChunkSize);
        // Fresh pages from the system read as zeros.
        data_ = arenaOs::mapChunk(chunks);
        if (data_ != nullptr) mapped_ = chunks;
    } else {
        data_ = std::calloc(size == 0 ? 1 : size, 1);
    }
}

ZeroedBlock::~ZeroedBlock() { release(); }

ZeroedBlock::ZeroedBlock(ZeroedBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), mapped_(std::exchange(other.mapped_, 0)) {}

ZeroedBlock& ZeroedBlock::operator=(ZeroedBlock&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

void ZeroedBlock::release() {
    if (data_ == nullptr) return;
    if (mapped_ != 0) {
        arenaOs::unmapChunk(data_, mapped_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    mapped_ = 0;
}

// Drives the class rewriter on arbitrary bytes: it must never read out of
// bounds or crash, and what it writes must be a class it reads back the
// same way (rewriting it again changes the same methods, and only by the
// inserted calls and the stack map forms they may need).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "instrument/ClassRewriter.h"

namespace {

void require(bool holds) {
    if (!holds) std::abort();
}

const HookTarget kHook{"kelmora/Hook", "enter"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    RewriteResult first = rewriteClass(data, size, kHook);
    if (first.outcome != ClassOutcome::Rewritten) {
        require(first.bytes.empty());
        return 0;
    }
    uint32_t methods = first.count(MethodOutcome::Rewritten);
    require(methods > 0);
    // Each method grows by the call and at most one frame's extended form;
    // the pool by at most its six entries (the longest is the class name).
    require(first.bytes.size() >= size + 4u * methods);
    require(first.bytes.size() <= size + 6u * methods + 64);

    RewriteResult second = rewriteClass(first.bytes.data(), first.bytes.size(), kHook);
    // The same methods qualify, but for those the first call made too long.
    uint32_t again = second.count(MethodOutcome::Rewritten);
    uint32_t grownTooLong =
        second.count(MethodOutcome::CodeTooLong) - first.count(MethodOutcome::CodeTooLong);
    require(again + grownTooLong == methods);
    if (again == 0) return 0;
    require(second.outcome == ClassOutcome::Rewritten);
    // The hook's entries are in the pool now: none is added again.
    require(second.bytes.size() >= first.bytes.size() + 4u * again);
    require(second.bytes.size() <= first.bytes.size() + 6u * again);
    return 0;
}

#include "instrument/BytecodeScan.h"

namespace {

// Fixed lengths by opcode; 0 marks the variable ones (switches, wide) and
// opcodes that are not instructions of a class file.
constexpr uint8_t kNone = 0;
constexpr uint8_t fixedLengthOf(uint8_t opcode) {
    if (opcode <= 0x0f) return 1;                      // nop .. dconst_1
    if (opcode == 0x10) return 2;                      // bipush
    if (opcode == 0x11) return 3;                      // sipush
    if (opcode == 0x12) return 2;                      // ldc
    if (opcode <= 0x14) return 3;                      // ldc_w, ldc2_w
    if (opcode <= 0x19) return 2;                      // iload .. aload
    if (opcode <= 0x35) return 1;                      // xload_n, xaload
    if (opcode <= 0x3a) return 2;                      // istore .. astore
    if (opcode <= 0x83) return 1;                      // xstore_n .. lxor
    if (opcode == 0x84) return 3;                      // iinc
    if (opcode <= 0x98) return 1;                      // conversions, compares
    if (opcode <= 0xa8) return 3;                      // if*, goto, jsr
    if (opcode == 0xa9) return 2;                      // ret
    if (opcode <= 0xab) return kNone;                  // tableswitch, lookupswitch
    if (opcode <= 0xb1) return 1;                      // returns
    if (opcode <= 0xb8) return 3;                      // field access, invokes
    if (opcode <= 0xba) return 5;                      // invokeinterface, invokedynamic
    if (opcode == 0xbb) return 3;                      // new
    if (opcode == 0xbc) return 2;                      // newarray
    if (opcode == 0xbd) return 3;                      // anewarray
    if (opcode <= 0xbf) return 1;                      // arraylength, athrow
    if (opcode <= 0xc1) return 3;                      // checkcast, instanceof
    if (opcode <= 0xc3) return 1;                      // monitorenter, monitorexit
    if (opcode == 0xc4) return kNone;                  // wide
    if (opcode == 0xc5) return 4;                      // multianewarray
    if (opcode <= 0xc7) return 3;                      // ifnull, ifnonnull
    if (opcode <= 0xc9) return 5;                      // goto_w, jsr_w
    return kNone;
}

// Every method's code is walked instruction by instruction several times
// as a class loads: one load per instruction instead of a chain of tests.
struct LengthTable {
    uint8_t length[256];
    constexpr LengthTable() : length() {
        for (int opcode = 0; opcode < 256; ++opcode) {
            length[opcode] = fixedLengthOf(static_cast<uint8_t>(opcode));
        }
    }
};
constexpr LengthTable kFixedLengths;

uint8_t fixedLength(uint8_t opcode) { return kFixedLengths.length[opcode]; }

int32_t readInt(const uint8_t* at) {
    return static_cast<int32_t>((uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) |
                                (uint32_t(at[2]) << 8) | uint32_t(at[3]));
}

bool isStoreWithIndex(uint8_t opcode) { return opcode >= 0x36 && opcode <= 0x3a; }
bool isStoreOfLocalZero(uint8_t opcode) {
    return opcode == 0x3b || opcode == 0x3f || opcode == 0x43 || opcode == 0x47 || opcode == 0x4b;
}
constexpr uint8_t kIinc = 0x84;
constexpr uint8_t kWide = 0xc4;

}  // namespace

std::size_t instructionLength(const uint8_t* code, std::size_t length, std::size_t pc) {
    if (pc >= length) return 0;
    uint8_t opcode = code[pc];
    std::size_t size = fixedLength(opcode);
    if (opcode == 0xaa || opcode == 0xab) {
        std::size_t operands = (pc + 4) & ~std::size_t(3);  // padded to 4 from the code start
        std::size_t header = opcode == 0xaa ? 12 : 8;
        if (operands + header > length) return 0;
        int64_t entries;
        if (opcode == 0xaa) {
            int64_t low = readInt(code + operands + 4), high = readInt(code + operands + 8);
            if (high < low) return 0;
            entries = (high - low + 1) * 4;
        } else {
            int64_t pairs = readInt(code + operands + 4);
            if (pairs < 0) return 0;
            entries = pairs * 8;
        }
        if (static_cast<uint64_t>(entries) > length) return 0;
        size = operands - pc + header + static_cast<std::size_t>(entries);
    } else if (opcode == kWide) {
        if (pc + 1 >= length) return 0;
        uint8_t widened = code[pc + 1];
        if (widened == kIinc) {
            size = 6;
        } else if ((widened >= 0x15 && widened <= 0x19) || isStoreWithIndex(widened) ||
                   widened == 0xa9) {
            size = 4;
        } else {
            return 0;
        }
    }
    if (size == 0 || size > length - pc) return 0;
    return size;
}

bool neverWritesLocalZero(const uint8_t* code, std::size_t length) {
    std::size_t pc = 0;
    while (pc < length) {
        std::size_t size = instructionLength(code, length, pc);
        if (size == 0) return false;
        uint8_t opcode = code[pc];
        if (isStoreOfLocalZero(opcode)) return false;
        if ((isStoreWithIndex(opcode) || opcode == kIinc) && code[pc + 1] == 0) return false;
        if (opcode == kWide && (isStoreWithIndex(code[pc + 1]) || code[pc + 1] == kIinc) &&
            code[pc + 2] == 0 && code[pc + 3] == 0) {
            return false;
        }
        pc += size;
    }
    return true;
}

long quietConstructorCall(const uint8_t* code, std::size_t length) {
    constexpr uint8_t kAload0 = 0x2a, kInvokespecial = 0xb7, kPutfield = 0xb5, kReturn = 0xb1;
    auto isLoadOrConstant = [](uint8_t opcode) {
        return (opcode >= 0x01 && opcode <= 0x11) ||  // aconst_null .. sipush
               (opcode >= 0x15 && opcode <= 0x2d);    // iload .. aload_3
    };
    if (length == 0 || code[0] != kAload0) return -1;
    long call = -1;
    std::size_t pc = 0;
    while (pc < length) {
        std::size_t size = instructionLength(code, length, pc);
        if (size == 0) return -1;
        uint8_t opcode = code[pc];
        if (opcode == kInvokespecial) {
            if (call >= 0) return -1;
            call = static_cast<long>(pc);
        } else if (opcode == kReturn) {
            return pc + size == length ? call : -1;
        } else if (opcode != kPutfield && !isLoadOrConstant(opcode)) {
            return -1;
        }
        pc += size;
    }
    return -1;
}

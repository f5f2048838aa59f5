#include "instrument/ClassRewriter.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "instrument/BytecodeScan.h"
#include "instrument/ConstructorCalls.h"

namespace {

constexpr uint32_t kMagic = 0xCAFEBABE;
constexpr uint16_t kMinMajor = 45;
// Java 25. A later version may bring what we cannot shift; it stays untouched.
constexpr uint16_t kMaxMajor = 69;
// From Java 6's class files on, a jump's target needs a stack map frame.
constexpr uint16_t kFirstMajorWithFrames = 50;
constexpr uint32_t kMaxCodeLength = 65535;
constexpr uint32_t kMaxPoolCount = 65535;

constexpr uint16_t kAccStatic = 0x0008;
constexpr uint16_t kAccNative = 0x0100;
constexpr uint16_t kAccAbstract = 0x0400;

constexpr uint8_t kAload0 = 0x2a;
constexpr uint8_t kPutstatic = 0xb3;
constexpr uint8_t kNop = 0x00;
constexpr uint8_t kIfnull = 0xc6;

// Whether a static method of this descriptor is one the agent takes as an
// instance method with a reference in local 0: a long or double parameter
// makes its slots outnumber its parameters, and the first is an object or
// an array.
bool takenAsInstance(std::string_view descriptor) {
    if (descriptor.size() < 2 || descriptor[0] != '(' ||
        (descriptor[1] != 'L' && descriptor[1] != '[')) {
        return false;
    }
    for (std::size_t i = 1; i < descriptor.size() && descriptor[i] != ')'; ++i) {
        char c = descriptor[i];
        if (c == 'L') {
            i = descriptor.find(';', i);
            if (i == std::string_view::npos) return false;
        } else if (c == 'J' || c == 'D') {
            // Not an array's element type: those take one slot.
            if (descriptor[i - 1] != '[') return true;
        }
    }
    return false;
}

enum Tag : uint8_t {
    kUtf8 = 1, kInteger = 3, kFloat = 4, kLong = 5, kDouble = 6, kClass = 7, kString = 8,
    kFieldref = 9, kMethodref = 10, kInterfaceMethodref = 11, kNameAndType = 12,
    kMethodHandle = 15, kMethodType = 16, kDynamic = 17, kInvokeDynamic = 18, kModule = 19,
    kPackage = 20,
};

// Bounds-checked big-endian reading; a read past the end yields 0 and
// leaves `ok` false for good.
class Reader {
public:
    Reader(const uint8_t* data, std::size_t length) : data_(data), length_(length) {}
    bool ok() const { return ok_; }
    std::size_t pos() const { return pos_; }
    bool atEnd() const { return ok_ && pos_ == length_; }
    const uint8_t* here() const { return data_ + pos_; }
    bool skip(std::size_t count) {
        if (!ok_ || count > length_ - pos_) return ok_ = false;
        pos_ += count;
        return true;
    }
    uint8_t u1() {
        if (!skip(1)) return 0;
        return data_[pos_ - 1];
    }
    uint16_t u2() {
        if (!skip(2)) return 0;
        return static_cast<uint16_t>((data_[pos_ - 2] << 8) | data_[pos_ - 1]);
    }
    uint32_t u4() {
        if (!skip(4)) return 0;
        const uint8_t* at = data_ + pos_ - 4;
        return (uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) | (uint32_t(at[2]) << 8) |
               uint32_t(at[3]);
    }
    void fail() { ok_ = false; }

private:
    const uint8_t* data_;
    std::size_t length_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

void putU1(std::vector<uint8_t>& out, uint32_t value) { out.push_back(static_cast<uint8_t>(value)); }
void putU2(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}
void putU4(std::vector<uint8_t>& out, uint32_t value) {
    putU2(out, value >> 16);
    putU2(out, value & 0xffff);
}
void putBytes(std::vector<uint8_t>& out, const uint8_t* from, std::size_t count) {
    out.insert(out.end(), from, from + count);
}
void patchU4(std::vector<uint8_t>& out, std::size_t at, uint32_t value) {
    out[at] = static_cast<uint8_t>(value >> 24);
    out[at + 1] = static_cast<uint8_t>(value >> 16);
    out[at + 2] = static_cast<uint8_t>(value >> 8);
    out[at + 3] = static_cast<uint8_t>(value);
}

// The constant pool as parsed: where each entry starts, by index.
struct ConstantPool {
    const uint8_t* data = nullptr;
    uint16_t count = 0;
    std::vector<uint32_t> offsets;  // offset of the tag byte; 0 for index 0 and 2nd slots
    std::size_t end = 0;            // offset just past the last entry

    uint8_t tag(uint32_t index) const {
        if (index == 0 || index >= count || offsets[index] == 0) return 0;
        return data[offsets[index]];
    }
    uint16_t u2At(uint32_t index, std::size_t field) const {
        const uint8_t* at = data + offsets[index] + 1 + field;
        return static_cast<uint16_t>((at[0] << 8) | at[1]);
    }
    // The text of a Utf8 entry; false when `index` is not one.
    bool utf8(uint32_t index, std::string_view& text) const {
        if (tag(index) != kUtf8) return false;
        uint16_t size = u2At(index, 0);
        text = std::string_view(reinterpret_cast<const char*>(data + offsets[index] + 3), size);
        return true;
    }
    bool utf8Is(uint32_t index, std::string_view expected) const {
        std::string_view text;
        return utf8(index, text) && text == expected;
    }
};

// Whether every entry refers to entries of the kinds it must. A reference
// past the pool's end would, once our entries are appended, suddenly name
// one of them and turn a broken class into another class.
bool referencesHold(const ConstantPool& pool) {
    auto is = [&](uint32_t index, uint8_t tag) { return pool.tag(index) == tag; };
    for (uint32_t index = 1; index < pool.count; ++index) {
        switch (pool.tag(index)) {
        case kClass: case kString: case kMethodType: case kModule: case kPackage:
            if (!is(pool.u2At(index, 0), kUtf8)) return false;
            break;
        case kFieldref: case kMethodref: case kInterfaceMethodref:
            if (!is(pool.u2At(index, 0), kClass) || !is(pool.u2At(index, 2), kNameAndType)) return false;
            break;
        case kNameAndType:
            if (!is(pool.u2At(index, 0), kUtf8) || !is(pool.u2At(index, 2), kUtf8)) return false;
            break;
        case kDynamic: case kInvokeDynamic:
            if (!is(pool.u2At(index, 2), kNameAndType)) return false;
            break;
        case kMethodHandle: {
            uint32_t target = static_cast<uint32_t>((pool.data[pool.offsets[index] + 2] << 8) |
                                                    pool.data[pool.offsets[index] + 3]);
            uint8_t tag = pool.tag(target);
            if (tag != kFieldref && tag != kMethodref && tag != kInterfaceMethodref) return false;
            break;
        }
        default:
            break;
        }
    }
    return true;
}

bool parseConstantPool(Reader& in, const uint8_t* data, ConstantPool& pool) {
    pool.data = data;
    pool.count = in.u2();
    if (!in.ok() || pool.count == 0) return false;
    pool.offsets.assign(pool.count, 0);
    for (uint32_t index = 1; index < pool.count; ++index) {
        pool.offsets[index] = static_cast<uint32_t>(in.pos());
        switch (in.u1()) {
        case kUtf8: in.skip(in.u2()); break;
        case kInteger: case kFloat: in.skip(4); break;
        case kLong: case kDouble:
            // Takes two slots; the second is unusable and must exist.
            if (index + 1 >= pool.count) return false;
            in.skip(8);
            ++index;
            break;
        case kClass: case kString: case kMethodType: case kModule: case kPackage: in.skip(2); break;
        case kFieldref: case kMethodref: case kInterfaceMethodref: case kNameAndType:
        case kDynamic: case kInvokeDynamic:
            in.skip(4);
            break;
        case kMethodHandle: in.skip(3); break;
        default: return false;
        }
        if (!in.ok()) return false;
    }
    pool.end = in.pos();
    return referencesHold(pool);
}

// The hook's Fieldref and what it needs, found in the pool or appended.
struct HookEntries {
    uint16_t ref = 0;
    uint32_t added = 0;
    std::vector<uint8_t> bytes;  // the appended entries, in pool format
};

uint32_t findUtf8(const ConstantPool& pool, std::string_view text) {
    for (uint32_t index = 1; index < pool.count; ++index) {
        if (pool.utf8Is(index, text)) return index;
    }
    return 0;
}
uint32_t findPair(const ConstantPool& pool, uint8_t tag, uint32_t first, uint32_t second) {
    for (uint32_t index = 1; index < pool.count; ++index) {
        if (pool.tag(index) == tag && pool.u2At(index, 0) == first &&
            (tag == kClass || pool.u2At(index, 2) == second)) {
            return index;
        }
    }
    return 0;
}

// Reuses what the pool already has, so a class with room for only part of
// the entries can still be rewritten. False when the pool would overflow.
bool planHookEntries(const ConstantPool& pool, const HookTarget& hook, HookEntries& entries) {
    uint32_t next = pool.count;
    auto addUtf8 = [&](std::string_view text) -> uint32_t {
        if (uint32_t found = findUtf8(pool, text)) return found;
        putU1(entries.bytes, kUtf8);
        putU2(entries.bytes, static_cast<uint32_t>(text.size()));
        putBytes(entries.bytes, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        return next++;
    };
    // A new entry can only refer to another new one, which is never in the pool.
    auto addPair = [&](uint8_t tag, uint32_t first, uint32_t second, bool fresh) -> uint32_t {
        if (!fresh) {
            if (uint32_t found = findPair(pool, tag, first, second)) return found;
        }
        putU1(entries.bytes, tag);
        putU2(entries.bytes, first);
        if (tag != kClass) putU2(entries.bytes, second);
        return next++;
    };
    uint32_t className = addUtf8(hook.className);
    bool classFresh = className >= pool.count;
    uint32_t classIndex = addPair(kClass, className, 0, classFresh);
    classFresh = classIndex >= pool.count;
    uint32_t name = addUtf8(hook.fieldName);
    uint32_t descriptor = addUtf8(hook.descriptor);
    uint32_t nameAndType = addPair(kNameAndType, name, descriptor,
                                   name >= pool.count || descriptor >= pool.count);
    uint32_t ref = addPair(kFieldref, classIndex, nameAndType, classFresh || nameAndType >= pool.count);
    if (next > kMaxPoolCount) return false;
    entries.ref = static_cast<uint16_t>(ref);
    entries.added = next - pool.count;
    return true;
}

// Where the old code's offsets go once the call is inserted at `at` (the
// method's start, or right after a constructor's super call). The old
// instruction at `at` moves behind the call, so a jump there still lands on
// it and the call runs once. A line, or a variable's range, that starts at
// `at` also takes the call; a try block ending there does not.
struct Shift {
    uint32_t at;
    uint32_t codeLength;  // of the old code
    uint32_t length;      // of the inserted code

    uint32_t offset(uint32_t old) const { return old < at ? old : old + length; }
    uint32_t end(uint32_t old) const { return old <= at ? old : old + length; }
    uint32_t lineStart(uint32_t old) const { return end(old); }
};

// Writes an instruction's offset moved. An offset past `limit` (the last
// instruction, or the code's end for the end of a range) points outside the
// code: such a method is not one we understand, and stays as it is.
bool putOffset(std::vector<uint8_t>& out, uint32_t offset, uint32_t limit, const Shift& shift) {
    if (offset > limit) return false;
    putU2(out, shift.offset(offset));
    return true;
}
bool copyOffset(Reader& in, std::vector<uint8_t>& out, const Shift& shift) {
    uint32_t offset = in.u2();
    return in.ok() && putOffset(out, offset, shift.codeLength - 1, shift);
}

// A variable's range: it takes the call when it starts where the call goes
// or spans it; otherwise it moves with its code. False when the range is
// not inside the code.
bool shiftRange(uint32_t& start, uint32_t& length, const Shift& shift) {
    if (start >= shift.codeLength || start + length > shift.codeLength) return false;
    uint32_t end = start + length;
    if (start > shift.at) {
        start += shift.length;
    } else if (end > shift.at || start == shift.at) {
        length += shift.length;
    }
    return start <= 0xffff && length <= 0xffff;
}

bool shiftLineNumbers(Reader& in, std::vector<uint8_t>& out, const Shift& shift) {
    uint16_t count = in.u2();
    putU2(out, count);
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        uint32_t start = in.u2();
        if (start > shift.codeLength - 1) return false;
        putU2(out, shift.lineStart(start));
        putU2(out, in.u2());
    }
    return in.ok();
}

// LocalVariableTable and LocalVariableTypeTable share one layout.
bool shiftLocalVariables(Reader& in, std::vector<uint8_t>& out, const Shift& shift) {
    uint16_t count = in.u2();
    putU2(out, count);
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        uint32_t start = in.u2(), length = in.u2();
        if (!in.ok() || !shiftRange(start, length, shift)) return false;
        putU2(out, start);
        putU2(out, length);
        putU2(out, in.u2());  // name
        putU2(out, in.u2());  // descriptor or signature
        putU2(out, in.u2());  // index
    }
    return in.ok();
}

// One verification_type_info; an Uninitialized type names the offset of
// its `new` instruction.
bool copyVerificationType(Reader& in, std::vector<uint8_t>& out, const Shift& shift) {
    uint8_t tag = in.u1();
    putU1(out, tag);
    if (tag <= 6) return in.ok();          // Top .. UninitializedThis
    if (tag == 7) {                         // Object
        putU2(out, in.u2());
    } else if (tag == 8) {                  // Uninitialized
        return copyOffset(in, out, shift);
    } else {
        return false;
    }
    return in.ok();
}

bool copyVerificationTypes(Reader& in, std::vector<uint8_t>& out, uint32_t count,
                           const Shift& shift) {
    for (uint32_t i = 0; i < count; ++i) {
        if (!copyVerificationType(in, out, shift)) return false;
    }
    return true;
}

// The offset of a StackMapTable's first frame (its delta), read ahead;
// anything unreadable counts as not at the start.
uint32_t firstFrameOffset(Reader in) {
    uint8_t type = in.u1();
    uint32_t delta = type <= 63 ? type : type <= 127 ? type - 64u : type >= 247 ? in.u2() : 1;
    return in.ok() ? delta : 1;
}

// Each frame's offset is a delta from the frame before (the first one's
// from the start): frames move with their code, and the deltas are written
// anew. A short frame whose delta no longer fits becomes its extended form.
// With `guardTarget`, the inserted code jumps to its own end (the old code's
// start), which then needs a frame: unless the old code has one at its
// start, a same_frame (the method's entry state) goes first.
bool shiftStackMapTable(Reader& in, std::vector<uint8_t>& out, const Shift& shift,
                        bool guardTarget) {
    uint16_t count = in.u2();
    bool addFrame = guardTarget && (count == 0 || firstFrameOffset(in) != 0);
    if (addFrame && (count == 0xffff || shift.length > 63)) return false;
    putU2(out, count + (addFrame ? 1 : 0));
    if (addFrame) putU1(out, shift.length);  // same_frame
    uint32_t at = 0;     // the frame's offset in the old code
    uint32_t moved = addFrame ? shift.length : 0;  // and in the new
    for (uint32_t i = 0; i < count; ++i) {
        bool first = i == 0 && !addFrame;
        uint8_t type = in.u1();
        uint32_t delta;
        if (type <= 63) {
            delta = type;
        } else if (type <= 127) {
            delta = type - 64u;
        } else if (type <= 246) {
            return false;  // reserved
        } else {
            delta = in.u2();
        }
        if (!in.ok()) return false;
        // Every frame must fall inside the code.
        at = i == 0 ? delta : at + delta + 1;
        if (at >= shift.codeLength) return false;
        uint32_t now = shift.offset(at);
        delta = first ? now : now - moved - 1;
        moved = now;
        if (delta > 0xffff) return false;

        if (type <= 63) {  // same_frame
            if (delta <= 63) {
                putU1(out, delta);
            } else {
                putU1(out, 251);  // same_frame_extended
                putU2(out, delta);
            }
        } else if (type <= 127) {  // same_locals_1_stack_item_frame
            if (delta <= 63) {
                putU1(out, 64 + delta);
            } else {
                putU1(out, 247);  // same_locals_1_stack_item_frame_extended
                putU2(out, delta);
            }
            if (!copyVerificationType(in, out, shift)) return false;
        } else {
            putU1(out, type);
            putU2(out, delta);
            if (type == 247) {
                if (!copyVerificationType(in, out, shift)) return false;
            } else if (type >= 252 && type <= 254) {  // append_frame
                if (!copyVerificationTypes(in, out, type - 251u, shift)) return false;
            } else if (type == 255) {  // full_frame
                uint16_t locals = in.u2();
                putU2(out, locals);
                if (!copyVerificationTypes(in, out, locals, shift)) return false;
                uint16_t stack = in.u2();
                putU2(out, stack);
                if (!copyVerificationTypes(in, out, stack, shift)) return false;
            }
            // 248..251: chop_frame and same_frame_extended carry nothing more.
        }
        if (!in.ok()) return false;
    }
    return in.ok();
}

bool copyElementValue(Reader& in, std::vector<uint8_t>& out, int depth);

bool copyAnnotationBody(Reader& in, std::vector<uint8_t>& out, int depth) {
    putU2(out, in.u2());  // type_index
    uint16_t pairs = in.u2();
    putU2(out, pairs);
    for (uint32_t i = 0; i < pairs && in.ok(); ++i) {
        putU2(out, in.u2());  // element_name_index
        if (!copyElementValue(in, out, depth)) return false;
    }
    return in.ok();
}

bool copyElementValue(Reader& in, std::vector<uint8_t>& out, int depth) {
    // Nesting this deep is no annotation anyone wrote; do not recurse on.
    if (depth > 64) return false;
    uint8_t tag = in.u1();
    putU1(out, tag);
    switch (tag) {
    case 'B': case 'C': case 'D': case 'F': case 'I': case 'J': case 'S': case 'Z': case 's':
    case 'c':
        putU2(out, in.u2());
        break;
    case 'e':
        putU2(out, in.u2());
        putU2(out, in.u2());
        break;
    case '@':
        return copyAnnotationBody(in, out, depth + 1);
    case '[': {
        uint16_t values = in.u2();
        putU2(out, values);
        for (uint32_t i = 0; i < values && in.ok(); ++i) {
            if (!copyElementValue(in, out, depth + 1)) return false;
        }
        break;
    }
    default:
        return false;
    }
    return in.ok();
}

// Type annotations on a Code attribute: their targets name offsets.
bool shiftTypeAnnotations(Reader& in, std::vector<uint8_t>& out, const Shift& shift) {
    uint16_t count = in.u2();
    putU2(out, count);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t target = in.u1();
        if (!in.ok()) return false;
        putU1(out, target);
        if (target == 0x40 || target == 0x41) {  // localvar_target
            uint16_t entries = in.u2();
            putU2(out, entries);
            for (uint32_t e = 0; e < entries && in.ok(); ++e) {
                uint32_t start = in.u2(), length = in.u2();
                if (!in.ok() || !shiftRange(start, length, shift)) return false;
                putU2(out, start);
                putU2(out, length);
                putU2(out, in.u2());  // index
            }
        } else if (target == 0x42) {  // catch_target: an exception-table index
            putU2(out, in.u2());
        } else if (target >= 0x43 && target <= 0x46) {  // offset_target
            if (!copyOffset(in, out, shift)) return false;
        } else if (target >= 0x47 && target <= 0x4b) {  // type_argument_target
            if (!copyOffset(in, out, shift)) return false;
            putU1(out, in.u1());
        } else {
            return false;  // not a target a Code attribute may carry
        }
        uint8_t pathLength = in.u1();
        putU1(out, pathLength);
        const uint8_t* path = in.here();
        if (!in.skip(pathLength * 2u)) return false;
        putBytes(out, path, pathLength * 2u);
        if (!copyAnnotationBody(in, out, 0)) return false;
    }
    return in.ok();
}

enum class CodeAttribute { LineNumbers, LocalVariables, StackMap, TypeAnnotations, Unknown };

CodeAttribute codeAttributeKind(std::string_view name) {
    if (name == "LineNumberTable") return CodeAttribute::LineNumbers;
    if (name == "LocalVariableTable" || name == "LocalVariableTypeTable") {
        return CodeAttribute::LocalVariables;
    }
    if (name == "StackMapTable") return CodeAttribute::StackMap;
    if (name == "RuntimeVisibleTypeAnnotations" || name == "RuntimeInvisibleTypeAnnotations") {
        return CodeAttribute::TypeAnnotations;
    }
    return CodeAttribute::Unknown;
}

int32_t readS4(const uint8_t* at) {
    return static_cast<int32_t>((uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) |
                                (uint32_t(at[2]) << 8) | uint32_t(at[3]));
}
void writeS2(uint8_t* at, int32_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}
void writeS4(uint8_t* at, int32_t value) {
    writeS2(at, value >> 16);
    writeS2(at + 2, value & 0xffff);
}

// Points every jump of the old `code`, copied with the call inserted into
// `moved`, at where its target went. A switch keeps its alignment: code
// moves by a multiple of 4. False when a 16-bit jump no longer reaches.
MethodOutcome relinkJumps(const uint8_t* code, uint32_t length, uint8_t* moved, const Shift& shift) {
    for (uint32_t pc = 0; pc < length;) {
        std::size_t size = instructionLength(code, length, pc);
        if (size == 0) return MethodOutcome::BadAttribute;
        uint8_t opcode = code[pc];
        uint8_t* now = moved + shift.offset(pc);
        auto relink = [&](int64_t offset) -> int64_t {
            int64_t target = int64_t(pc) + offset;
            if (target < 0 || target >= length) return INT64_MIN;
            return int64_t(shift.offset(static_cast<uint32_t>(target))) - int64_t(shift.offset(pc));
        };
        if ((opcode >= 0x99 && opcode <= 0xa8) || opcode == 0xc6 || opcode == 0xc7) {
            int64_t offset = relink(static_cast<int16_t>((code[pc + 1] << 8) | code[pc + 2]));
            if (offset == INT64_MIN) return MethodOutcome::BadAttribute;
            if (offset < INT16_MIN || offset > INT16_MAX) return MethodOutcome::JumpTooFar;
            writeS2(now + 1, static_cast<int32_t>(offset));
        } else if (opcode == 0xc8 || opcode == 0xc9) {
            int64_t offset = relink(readS4(code + pc + 1));
            if (offset == INT64_MIN) return MethodOutcome::BadAttribute;
            writeS4(now + 1, static_cast<int32_t>(offset));
        } else if (opcode == 0xaa || opcode == 0xab) {
            uint32_t at = (pc + 4) & ~3u;
            uint8_t* operands = moved + shift.offset(at);
            auto relinkAt = [&](uint32_t field) {
                int64_t offset = relink(readS4(code + field));
                if (offset == INT64_MIN) return false;
                writeS4(operands + (field - at), static_cast<int32_t>(offset));
                return true;
            };
            if (!relinkAt(at)) return MethodOutcome::BadAttribute;
            uint32_t entries = opcode == 0xaa
                                   ? static_cast<uint32_t>(readS4(code + at + 8) - readS4(code + at + 4) + 1)
                                   : static_cast<uint32_t>(readS4(code + at + 4));
            for (uint32_t i = 0; i < entries; ++i) {
                uint32_t field = opcode == 0xaa ? at + 12 + 4 * i : at + 12 + 8 * i;
                if (!relinkAt(field)) return MethodOutcome::BadAttribute;
            }
        }
        pc += static_cast<uint32_t>(size);
    }
    return MethodOutcome::Rewritten;
}

// A static method the agent takes as an instance method (a long or double
// parameter makes its slots outnumber its parameters) hands over its first
// parameter, a reference: only when it is not null.
struct EntryGuard {
    bool nullable = false;
    // The class file's version asks for stack map frames (50 and later).
    bool framesNeeded = false;
};

// Writes the Code attribute `body` (its info, after name and length) with
// the hook call inserted at `at`, where the operand stack holds
// `stackAt` slots, into `out`, name and length included; on any outcome but
// Rewritten `out` is left for the caller to drop.
MethodOutcome rewriteCode(const ConstantPool& pool, uint16_t nameIndex, const uint8_t* body,
                          uint32_t bodyLength, uint16_t fieldref, uint32_t at,
                          uint32_t stackAt, const EntryGuard& guard, std::vector<uint8_t>& out) {
    Reader in(body, bodyLength);
    uint16_t maxStack = in.u2();
    uint16_t maxLocals = in.u2();
    uint32_t codeLength = in.u4();
    const uint8_t* code = in.here();
    if (!in.skip(codeLength) || codeLength == 0 || maxLocals == 0 || at >= codeLength) {
        return MethodOutcome::BadAttribute;
    }
    if (!neverWritesLocalZero(code, codeLength)) return MethodOutcome::WritesLocalZero;
    uint32_t inserted = guard.nullable ? kGuardedHookCallLength : kHookCallLength;
    if (codeLength + inserted > kMaxCodeLength) return MethodOutcome::CodeTooLong;
    Shift shift{at, codeLength, inserted};

    putU2(out, nameIndex);
    std::size_t lengthAt = out.size();
    putU4(out, 0);
    // The receiver, on top of what the stack holds there.
    uint32_t hookStack = stackAt + 1;
    if (hookStack > 0xffff) return MethodOutcome::BadAttribute;
    putU2(out, maxStack < hookStack ? hookStack : maxStack);
    putU2(out, maxLocals);
    putU4(out, codeLength + inserted);
    std::size_t codeAt = out.size();
    putBytes(out, code, at);
    std::size_t callAt = out.size();
    if (guard.nullable) {
        // A null is never handed over: nothing would wait for it.
        putU1(out, kAload0);
        putU1(out, kIfnull);
        putU2(out, inserted - 1);
    }
    putU1(out, kAload0);
    putU1(out, kPutstatic);
    putU2(out, fieldref);
    while (out.size() - callAt < inserted) putU1(out, kNop);
    putBytes(out, code + at, codeLength - at);
    MethodOutcome jumps = relinkJumps(code, codeLength, out.data() + codeAt, shift);
    if (jumps != MethodOutcome::Rewritten) return jumps;

    uint16_t handlers = in.u2();
    putU2(out, handlers);
    for (uint32_t i = 0; i < handlers; ++i) {
        // start_pc, end_pc, handler_pc, then catch_type as it is.
        uint32_t start = in.u2(), end = in.u2(), handler = in.u2();
        if (!in.ok() || start >= codeLength || end > codeLength || handler >= codeLength) {
            return MethodOutcome::BadAttribute;
        }
        putU2(out, shift.offset(start));
        putU2(out, shift.end(end));
        putU2(out, shift.offset(handler));
        putU2(out, in.u2());
    }
    uint16_t attributes = in.u2();
    if (!in.ok()) return MethodOutcome::BadAttribute;
    putU2(out, attributes);
    bool seenStackMap = false;
    bool guardTarget = guard.nullable && guard.framesNeeded;
    for (uint32_t i = 0; i < attributes; ++i) {
        uint16_t attributeName = in.u2();
        uint32_t length = in.u4();
        const uint8_t* info = in.here();
        if (!in.skip(length)) return MethodOutcome::BadAttribute;
        std::string_view name;
        if (!pool.utf8(attributeName, name)) return MethodOutcome::BadAttribute;
        CodeAttribute kind = codeAttributeKind(name);
        if (kind == CodeAttribute::Unknown) return MethodOutcome::UnknownAttribute;
        if (kind == CodeAttribute::StackMap) {
            // The VM rejects a second one; do not make it fail differently.
            if (seenStackMap) return MethodOutcome::BadAttribute;
            seenStackMap = true;
        }
        putU2(out, attributeName);
        std::size_t attributeLengthAt = out.size();
        putU4(out, 0);
        std::size_t start = out.size();
        Reader attribute(info, length);
        bool shiftedAll = false;
        switch (kind) {
        case CodeAttribute::LineNumbers:
            shiftedAll = shiftLineNumbers(attribute, out, shift);
            break;
        case CodeAttribute::LocalVariables:
            shiftedAll = shiftLocalVariables(attribute, out, shift);
            break;
        case CodeAttribute::StackMap:
            shiftedAll = shiftStackMapTable(attribute, out, shift, guardTarget);
            break;
        case CodeAttribute::TypeAnnotations:
            shiftedAll = shiftTypeAnnotations(attribute, out, shift);
            break;
        case CodeAttribute::Unknown: break;
        }
        if (!shiftedAll || !attribute.atEnd()) return MethodOutcome::BadAttribute;
        patchU4(out, attributeLengthAt, static_cast<uint32_t>(out.size() - start));
    }
    if (!in.atEnd()) return MethodOutcome::BadAttribute;
    // The guard's jump needs a frame there, and a table to hold it.
    if (guardTarget && !seenStackMap) return MethodOutcome::NoStackMap;
    patchU4(out, lengthAt, static_cast<uint32_t>(out.size() - lengthAt - 4));
    return MethodOutcome::Rewritten;
}

// Skips attributes whose names must be Utf8 entries of the pool.
bool skipAttributes(Reader& in, const ConstantPool& pool) {
    uint16_t count = in.u2();
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        if (pool.tag(in.u2()) != kUtf8 && in.ok()) return false;
        in.skip(in.u4());
    }
    return in.ok();
}

// The pool as the analysis of constructor calls reads it.
class PoolView : public PoolEntries {
public:
    explicit PoolView(const ConstantPool& pool) : pool_(pool) {}
    bool member(uint16_t index, std::string_view& owner, std::string_view& name,
                std::string_view& descriptor) const override {
        uint8_t tag = pool_.tag(index);
        if (tag != kFieldref && tag != kMethodref && tag != kInterfaceMethodref) return false;
        uint16_t nameAndType = pool_.u2At(index, 2);
        return className(pool_.u2At(index, 0), owner) &&
               pool_.utf8(pool_.u2At(nameAndType, 0), name) &&
               pool_.utf8(pool_.u2At(nameAndType, 2), descriptor);
    }
    bool dynamicCall(uint16_t index, std::string_view& descriptor) const override {
        if (pool_.tag(index) != kInvokeDynamic) return false;
        return pool_.utf8(pool_.u2At(pool_.u2At(index, 2), 2), descriptor);
    }
    bool className(uint16_t index, std::string_view& name) const override {
        return pool_.tag(index) == kClass && pool_.utf8(pool_.u2At(index, 0), name);
    }

private:
    const ConstantPool& pool_;
};

// The exception table of a Code attribute's body, for the analysis.
bool readHandlers(const uint8_t* body, uint32_t bodyLength, const uint8_t*& code,
                  uint32_t& codeLength, std::vector<CodeRange>& handlers) {
    Reader in(body, bodyLength);
    in.u2();  // max_stack
    in.u2();  // max_locals
    codeLength = in.u4();
    code = in.here();
    if (!in.skip(codeLength)) return false;
    uint16_t count = in.u2();
    for (uint32_t i = 0; i < count && in.ok(); ++i) {
        uint32_t start = in.u2(), end = in.u2(), handler = in.u2();
        in.u2();  // catch_type
        handlers.push_back(CodeRange{start, end, handler});
    }
    return in.ok();
}

// Copies one method_info to `out`, rewriting its code when it qualifies.
// `callsFollowed` turns false when its constructor calls could not be told
// apart (then no method of the class may be relied on).
bool rewriteMethod(Reader& in, const ConstantPool& pool, uint16_t fieldref,
                   uint16_t major, std::vector<uint8_t>& out, MethodOutcome& outcome,
                   bool& callsFollowed) {
    const uint8_t* start = in.here();
    uint16_t access = in.u2();
    uint16_t nameIndex = in.u2();
    uint16_t descriptorIndex = in.u2();
    uint16_t attributes = in.u2();
    std::string_view name, descriptor;
    if (!in.ok() || !pool.utf8(nameIndex, name) || !pool.utf8(descriptorIndex, descriptor)) {
        return false;
    }
    bool hasCode = (access & (kAccNative | kAccAbstract)) == 0;
    bool constructor = hasCode && name == "<init>";
    bool isStatic = (access & kAccStatic) != 0;
    // A static method has no receiver, but one the agent takes as an
    // instance method hands over a reference its first parameter holds.
    EntryGuard guard;
    guard.nullable = hasCode && isStatic && name != "<clinit>" && takenAsInstance(descriptor);
    guard.framesNeeded = major >= kFirstMajorWithFrames;
    bool atStart = hasCode && name != "<init>" && name != "<clinit>" && (!isStatic || guard.nullable);
    outcome = MethodOutcome::NotInstance;
    std::size_t outStart = out.size();
    putBytes(out, start, 8);
    for (uint32_t i = 0; i < attributes; ++i) {
        const uint8_t* attributeStart = in.here();
        uint16_t attributeName = in.u2();
        uint32_t length = in.u4();
        const uint8_t* info = in.here();
        if (!in.skip(length)) return false;
        std::string_view attribute;
        if (!pool.utf8(attributeName, attribute)) return false;
        if (attribute == "Code" && outcome == MethodOutcome::NotInstance) {
            const uint8_t* code = nullptr;
            uint32_t codeLength = 0;
            std::vector<CodeRange> handlers;
            ConstructorCalls calls;
            calls.followed = true;
            if (!readHandlers(info, length, code, codeLength, handlers)) {
                callsFollowed = false;
            } else if (hasInvokespecial(code, codeLength)) {
                calls = followConstructorCalls(code, codeLength, constructor, handlers, PoolView(pool));
                if (!calls.followed || !calls.newObjectsMatch) callsFollowed = false;
            }
            uint32_t at = 0, stackAt = 0;
            bool place = atStart;
            if (constructor) {
                // Right after its one super or this call: before it, the
                // object is not initialized and may not be handed anywhere.
                outcome = MethodOutcome::SuperCallNotFound;
                place = calls.followed && calls.callsOnThis.size() == 1;
                if (place) {
                    at = calls.callsOnThis[0] + 3;
                    stackAt = calls.stackAfterCallOnThis;
                }
            }
            if (place) {
                std::size_t codeStart = out.size();
                outcome = rewriteCode(pool, attributeName, info, length, fieldref, at, stackAt,
                                      guard, out);
                if (outcome == MethodOutcome::Rewritten) continue;
                out.resize(codeStart);
            }
        }
        putBytes(out, attributeStart, 6 + std::size_t(length));
    }
    // A method left as it was is copied byte for byte.
    if (outcome != MethodOutcome::Rewritten) {
        out.resize(outStart);
        putBytes(out, start, static_cast<std::size_t>(in.here() - start));
    }
    return true;
}

RewriteResult rewrite(const uint8_t* data, std::size_t length, const HookTarget& hook) {
    RewriteResult result;
    Reader in(data, length);
    if (in.u4() != kMagic) return result;
    in.u2();  // minor
    uint16_t major = in.u2();
    if (!in.ok()) return result;
    if (major < kMinMajor || major > kMaxMajor) {
        result.outcome = ClassOutcome::UnsupportedVersion;
        return result;
    }
    ConstantPool pool;
    if (!parseConstantPool(in, data, pool)) return result;

    in.u2();  // access_flags
    uint16_t thisClass = in.u2();
    uint16_t superClass = in.u2();
    if (!in.ok() || pool.tag(thisClass) != kClass) return result;
    if (superClass != 0 && pool.tag(superClass) != kClass) return result;
    uint16_t interfaces = in.u2();
    for (uint32_t i = 0; i < interfaces && in.ok(); ++i) {
        if (pool.tag(in.u2()) != kClass) return result;
    }
    if (!in.ok()) return result;
    std::string_view className;
    if (!pool.utf8(pool.u2At(thisClass, 0), className)) return result;
    result.className.assign(className);
    if (className == hook.className) {
        result.outcome = ClassOutcome::HookClass;
        return result;
    }
    uint16_t fields = in.u2();
    for (uint32_t i = 0; i < fields && in.ok(); ++i) {
        in.u2();  // access_flags
        uint16_t name = in.u2(), descriptor = in.u2();
        if (in.ok() && (pool.tag(name) != kUtf8 || pool.tag(descriptor) != kUtf8)) return result;
        if (!skipAttributes(in, pool)) return result;
    }
    std::size_t methodsAt = in.pos();
    uint16_t methods = in.u2();
    if (!in.ok()) return result;

    HookEntries entries;
    bool poolHasRoom = planHookEntries(pool, hook, entries);

    std::vector<uint8_t> methodBytes;
    methodBytes.reserve(length - methodsAt + methods * 8u);
    uint32_t rewritten = 0;
    bool callsFollowed = true;
    for (uint32_t i = 0; i < methods; ++i) {
        MethodOutcome outcome;
        if (!rewriteMethod(in, pool, entries.ref, major,
                           methodBytes, outcome, callsFollowed)) {
            result.methods = {};
            return result;
        }
        ++result.methods[static_cast<std::size_t>(outcome)];
        if (outcome == MethodOutcome::Rewritten) ++rewritten;
    }
    std::size_t attributesAt = in.pos();
    if (!skipAttributes(in, pool) || !in.atEnd()) {
        result.methods = {};
        return result;
    }
    // The agent takes a rewritten class's constructor calls at their word
    // (an object made by `new` is of the constructor's class): a class whose
    // calls could not be followed stays as it was.
    if (!callsFollowed) {
        result.methods[static_cast<std::size_t>(MethodOutcome::Rewritten)] = 0;
        result.outcome = ClassOutcome::ConstructorCallsNotFollowed;
        return result;
    }
    if (rewritten == 0) {
        result.outcome = ClassOutcome::NothingEligible;
        return result;
    }
    if (!poolHasRoom) {
        // Counted as the methods they would have been, but none was changed.
        result.methods[static_cast<std::size_t>(MethodOutcome::Rewritten)] = 0;
        result.outcome = ClassOutcome::ConstantPoolFull;
        return result;
    }

    std::vector<uint8_t>& out = result.bytes;
    out.reserve(length + entries.bytes.size() + methodBytes.size());
    putBytes(out, data, 8);
    putU2(out, pool.count + entries.added);
    putBytes(out, data + 10, pool.end - 10);
    putBytes(out, entries.bytes.data(), entries.bytes.size());
    putBytes(out, data + pool.end, methodsAt - pool.end);
    putU2(out, methods);
    putBytes(out, methodBytes.data(), methodBytes.size());
    putBytes(out, data + attributesAt, length - attributesAt);
    result.outcome = ClassOutcome::Rewritten;
    return result;
}

}  // namespace

const char* classOutcomeName(ClassOutcome outcome) {
    switch (outcome) {
    case ClassOutcome::Rewritten: return "rewritten";
    case ClassOutcome::NotUnderstood: return "not understood";
    case ClassOutcome::UnsupportedVersion: return "unsupported version";
    case ClassOutcome::HookClass: return "hook class";
    case ClassOutcome::NothingEligible: return "nothing eligible";
    case ClassOutcome::ConstantPoolFull: return "constant pool full";
    case ClassOutcome::ConstructorCallsNotFollowed: return "constructor calls not followed";
    }
    return "?";
}

const char* methodOutcomeName(MethodOutcome outcome) {
    switch (outcome) {
    case MethodOutcome::Rewritten: return "rewritten";
    case MethodOutcome::NotInstance: return "not an instance method";
    case MethodOutcome::WritesLocalZero: return "writes local 0";
    case MethodOutcome::CodeTooLong: return "code too long";
    case MethodOutcome::UnknownAttribute: return "unknown Code attribute";
    case MethodOutcome::BadAttribute: return "malformed Code attribute";
    case MethodOutcome::SuperCallNotFound: return "super call not found";
    case MethodOutcome::JumpTooFar: return "jump too far";
    case MethodOutcome::NoStackMap: return "no stack map for the guard";
    case MethodOutcome::Count: break;
    }
    return "?";
}

namespace {

// `aload_0; putstatic #n` at `call`, then nops up to `end`.
bool hookCallAt(const uint8_t* code, std::size_t call, std::size_t end, uint16_t& poolIndex) {
    if (code[call] != kAload0 || code[call + 1] != kPutstatic) return false;
    for (std::size_t i = call + 4; i < end; ++i) {
        if (code[i] != kNop) return false;
    }
    poolIndex = static_cast<uint16_t>((code[call + 2] << 8) | code[call + 3]);
    return true;
}

}  // namespace

bool beginsWithHookCall(const uint8_t* code, std::size_t length, uint16_t& poolIndex) {
    return code != nullptr && length >= kHookCallLength &&
           hookCallAt(code, 0, kHookCallLength, poolIndex);
}

bool beginsWithGuardedHookCall(const uint8_t* code, std::size_t length, uint16_t& poolIndex) {
    return code != nullptr && length >= kGuardedHookCallLength && code[0] == kAload0 &&
           code[1] == kIfnull && code[2] == 0 && code[3] == kGuardedHookCallLength - 1 &&
           hookCallAt(code, kGuardedHookCallAt - 1, kGuardedHookCallLength, poolIndex);
}

long hookCallAfterSuperCall(const uint8_t* code, std::size_t length, uint16_t& poolIndex) {
    constexpr uint8_t kInvokespecial = 0xb7;
    for (std::size_t pc = 0; pc < length;) {
        std::size_t size = instructionLength(code, length, pc);
        if (size == 0) return -1;
        if (code[pc] == kInvokespecial && beginsWithHookCall(code + pc + 3, length - pc - 3, poolIndex)) {
            return static_cast<long>(pc + 4);
        }
        pc += size;
    }
    return -1;
}

std::vector<uint8_t> hookClassFile(const HookTarget& hook) {
    constexpr uint16_t kAccPublicFinalSuper = 0x0031;
    constexpr uint16_t kAccPublicStatic = 0x0009;
    constexpr uint16_t kVersion49 = 49;
    std::vector<uint8_t> out;
    auto utf8 = [&out](std::string_view text) {
        putU1(out, kUtf8);
        putU2(out, static_cast<uint32_t>(text.size()));
        putBytes(out, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    putU4(out, kMagic);
    putU2(out, 0);
    putU2(out, kVersion49);
    putU2(out, 7);  // six entries
    utf8(hook.className);           // #1
    putU1(out, kClass);             // #2
    putU2(out, 1);
    utf8("java/lang/Object");       // #3
    putU1(out, kClass);             // #4
    putU2(out, 3);
    utf8(hook.fieldName);           // #5
    utf8(hook.descriptor);          // #6
    putU2(out, kAccPublicFinalSuper);
    putU2(out, 2);
    putU2(out, 4);
    putU2(out, 0);  // interfaces
    putU2(out, 1);  // fields
    putU2(out, kAccPublicStatic);
    putU2(out, 5);
    putU2(out, 6);
    putU2(out, 0);
    putU2(out, 0);  // methods
    putU2(out, 0);  // attributes
    return out;
}

std::vector<uint16_t> hookReferences(const uint8_t* entries, std::size_t length, uint16_t count,
                                     const HookTarget& hook) noexcept {
    std::vector<uint16_t> found;
    try {
        // Parsed as the class file holds it: the count, then the entries.
        std::vector<uint8_t> pool;
        pool.reserve(length + 2);
        putU2(pool, count);
        putBytes(pool, entries, length);
        Reader in(pool.data(), pool.size());
        ConstantPool parsed;
        if (!parseConstantPool(in, pool.data(), parsed) || !in.atEnd()) return found;
        for (uint32_t index = 1; index < parsed.count; ++index) {
            if (parsed.tag(index) != kFieldref) continue;
            uint16_t classIndex = parsed.u2At(index, 0);
            uint16_t nameAndType = parsed.u2At(index, 2);
            if (parsed.utf8Is(parsed.u2At(classIndex, 0), hook.className) &&
                parsed.utf8Is(parsed.u2At(nameAndType, 0), hook.fieldName) &&
                parsed.utf8Is(parsed.u2At(nameAndType, 2), hook.descriptor)) {
                found.push_back(static_cast<uint16_t>(index));
            }
        }
    } catch (...) {
        found.clear();
    }
    return found;
}

RewriteResult rewriteClass(const uint8_t* data, std::size_t length, const HookTarget& hook) noexcept {
    try {
        return rewrite(data, length, hook);
    } catch (...) {
        // Out of memory: the class loads as it came.
        RewriteResult untouched;
        untouched.outcome = ClassOutcome::NotUnderstood;
        return untouched;
    }
}

// Writes class files made by hand, each valid as it stands, whose shapes
// javac does not produce or produces only by chance: switches at every
// alignment, a loop head and a handler range at offset 0, first frames on
// both sides of the short form's limit, Uninitialized types, goto_w, jsr
// and ret, the largest code that still fits, a constant pool with room for
// exactly the hook's entries. The verification run loads them as written
// and as rewritten, links both, calls every (I)I method of each with the
// same arguments and compares.
//
// Usage: make-hand-classes OUTDIR   (writes OUTDIR/hand/*.class and
// OUTDIR/expected.txt: class name, outcome, hook calls per method call)
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

#include "instrument/ClassRewriter.h"
#include "tests/ClassFiles.h"

namespace {

constexpr uint8_t kNop = 0x00, kIconstM1 = 0x02, kIconst0 = 0x03, kIconst1 = 0x04,
                  kIconst2 = 0x05, kIconst3 = 0x06, kBipush = 0x10, kIload1 = 0x1b, kAload0 = 0x2a,
                  kAstore2 = 0x4d, kPop = 0x57, kDup = 0x59, kIadd = 0x60, kIdiv = 0x6c, kIinc = 0x84,
                  kIfeq = 0x99, kIfle = 0x9e, kGoto = 0xa7, kJsr = 0xa8, kRet = 0xa9,
                  kTableswitch = 0xaa, kLookupswitch = 0xab, kIreturn = 0xac, kReturn = 0xb1,
                  kInvokevirtual = 0xb6, kInvokespecial = 0xb7, kNew = 0xbb, kGotoW = 0xc8;

struct Frames {
    uint16_t count = 0;
    Bytes bytes;
    int last = -1;  // offset of the previous frame

    uint32_t delta(int offset) {
        uint32_t d = static_cast<uint32_t>(last < 0 ? offset : offset - last - 1);
        last = offset;
        ++count;
        return d;
    }
    // Locals as at the start of an (I)I method, empty stack.
    void same(int offset) {
        uint32_t d = delta(offset);
        if (d <= 63) {
            appendU1(bytes, d);
        } else {
            appendU1(bytes, 251);
            appendU2(bytes, d);
        }
    }
    // The same locals and one stack item, given as verification_type_info.
    void sameWithItem(int offset, const Bytes& item) {
        uint32_t d = delta(offset);
        if (d <= 63) {
            appendU1(bytes, 64 + d);
        } else {
            appendU1(bytes, 247);
            appendU2(bytes, d);
        }
        appendBytes(bytes, item);
    }
    void full(int offset, const Bytes& locals, uint16_t localCount, const Bytes& stack,
              uint16_t stackCount) {
        uint32_t d = delta(offset);
        appendU1(bytes, 255);
        appendU2(bytes, d);
        appendU2(bytes, localCount);
        appendBytes(bytes, locals);
        appendU2(bytes, stackCount);
        appendBytes(bytes, stack);
    }
    ClassAttribute attribute() const {
        Bytes info;
        appendU2(info, count);
        appendBytes(info, bytes);
        return {"StackMapTable", info};
    }
};

const Bytes kInteger = {1};

Bytes objectType(uint16_t classIndex) { return {7, uint8_t(classIndex >> 8), uint8_t(classIndex)}; }

void branch(Bytes& code, uint8_t opcode, int target) {
    int16_t offset = static_cast<int16_t>(target - static_cast<int>(code.size()));
    code.push_back(opcode);
    appendU2(code, static_cast<uint16_t>(offset));
}

MethodSpec intMethod(const std::string& name, Bytes code, uint16_t maxStack, uint16_t maxLocals = 2) {
    MethodSpec method;
    method.name = name;
    method.descriptor = "(I)I";
    method.code.code = std::move(code);
    method.code.maxStack = maxStack;
    method.code.maxLocals = maxLocals;
    return method;
}

void addConstructor(ClassFileBuilder& builder) {
    MethodSpec init;
    init.name = "<init>";
    uint16_t objectInit = builder.methodref("java/lang/Object", "<init>", "()V");
    init.code.code = {kAload0, kInvokespecial, uint8_t(objectInit >> 8), uint8_t(objectInit), kReturn};
    init.code.maxStack = 1;
    builder.addMethod(init);
}

// iload_1 at `pad` bytes in, then a switch whose cases return 1, 2, 3 and
// whose default returns -1.
MethodSpec switchMethod(const std::string& name, bool table, int pad, bool frames) {
    Bytes code(static_cast<std::size_t>(pad), kNop);
    code.push_back(kIload1);
    int pc = static_cast<int>(code.size());
    code.push_back(table ? kTableswitch : kLookupswitch);
    while (code.size() % 4 != 0) code.push_back(0);
    int cases = 3;
    int end = static_cast<int>(code.size()) + (table ? 12 + 4 * cases : 8 + 8 * cases);
    auto offsetTo = [&](int target) { return static_cast<uint32_t>(target - pc); };
    int defaultAt = end + 2 * cases;
    appendU4(code, offsetTo(defaultAt));
    if (table) {
        appendU4(code, 0);
        appendU4(code, static_cast<uint32_t>(cases - 1));
        for (int i = 0; i < cases; ++i) appendU4(code, offsetTo(end + 2 * i));
    } else {
        appendU4(code, static_cast<uint32_t>(cases));
        const int keys[] = {0, 5, 100};
        for (int i = 0; i < cases; ++i) {
            appendU4(code, static_cast<uint32_t>(keys[i]));
            appendU4(code, offsetTo(end + 2 * i));
        }
    }
    Frames map;
    const uint8_t results[] = {kIconst1, kIconst2, kIconst3};
    for (int i = 0; i < cases; ++i) {
        map.same(static_cast<int>(code.size()));
        code.push_back(results[i]);
        code.push_back(kIreturn);
    }
    map.same(static_cast<int>(code.size()));
    code.push_back(kIconstM1);
    code.push_back(kIreturn);
    MethodSpec method = intMethod(name, code, 1);
    if (frames) method.code.attributes.push_back(map.attribute());
    return method;
}

void addSwitches(ClassFileBuilder& builder, bool frames) {
    for (int pad = 0; pad < 4; ++pad) {
        builder.addMethod(switchMethod("table" + std::to_string(pad), true, pad, frames));
        builder.addMethod(switchMethod("lookup" + std::to_string(pad), false, pad, frames));
    }
}

// Counts its argument down to 0 in a loop whose head is offset 0, then
// returns 42: the hook must run once per call, not once per round.
MethodSpec loopAtZero(bool frames) {
    Bytes code = {kIload1};
    branch(code, kIfle, 10);
    code.insert(code.end(), {kIinc, 1, 0xff});
    branch(code, kGoto, 0);
    code.insert(code.end(), {kBipush, 42, kIreturn});
    MethodSpec method = intMethod("loopAtZero", code, 1);
    Frames map;
    map.same(0);
    map.same(10);
    if (frames) method.code.attributes.push_back(map.attribute());
    return method;
}

// 10 / n, or -7 when n is 0, with the handler's range starting at offset 0
// and `pad` nops in front so the handler's frame lands where we want it.
MethodSpec catchFromZero(ClassFileBuilder& builder, const std::string& name, int pad, bool frames) {
    uint16_t arithmetic = builder.classRef("java/lang/ArithmeticException");
    Bytes code(static_cast<std::size_t>(pad), kNop);
    code.insert(code.end(), {kBipush, 10, kIload1, kIdiv, kIreturn});
    uint16_t handler = static_cast<uint16_t>(code.size());
    code.insert(code.end(), {kPop, kBipush, 0xf9, kIreturn});
    MethodSpec method = intMethod(name, code, 2);
    method.code.handlers.push_back({0, handler, handler, arithmetic});
    Frames map;
    map.sameWithItem(handler, objectType(arithmetic));
    if (frames) method.code.attributes.push_back(map.attribute());
    return method;
}

// The method's one frame, its first, at `target`: 1 when n is 0, else n.
// The nops in front are live code, so no frame comes earlier.
MethodSpec frameAt(const std::string& name, int target, bool withItem) {
    int before = withItem ? 8 : 6;  // bytes from the branch setup to the target
    if (target < before) throw std::runtime_error("target too near");
    Bytes code(static_cast<std::size_t>(target - before), kNop);
    if (withItem) code.push_back(kIconst1);
    code.push_back(kIload1);
    branch(code, kIfeq, target);
    if (withItem) code.push_back(kPop);
    code.push_back(kIload1);
    code.push_back(kIreturn);
    if (static_cast<int>(code.size()) != target) throw std::runtime_error("target misplaced");
    if (!withItem) code.push_back(kIconst1);
    code.push_back(kIreturn);
    Frames map;
    if (withItem) {
        map.sameWithItem(target, kInteger);
    } else {
        map.same(target);
    }
    MethodSpec method = intMethod(name, code, 2);
    method.code.attributes.push_back(map.attribute());
    return method;
}

// new Integer(n == 0 ? 2 : 1).intValue(): a branch with two Uninitialized
// values of the `new` at offset 0 on the stack.
MethodSpec uninitializedAtZero(ClassFileBuilder& builder, uint16_t self) {
    uint16_t integer = builder.classRef("java/lang/Integer");
    uint16_t init = builder.methodref("java/lang/Integer", "<init>", "(I)V");
    uint16_t intValue = builder.methodref("java/lang/Integer", "intValue", "()I");
    Bytes code = {kNew, uint8_t(integer >> 8), uint8_t(integer), kDup, kIload1};
    branch(code, kIfeq, 12);
    code.push_back(kIconst1);
    branch(code, kGoto, 13);
    code.push_back(kIconst2);  // 12
    code.insert(code.end(), {kInvokespecial, uint8_t(init >> 8), uint8_t(init)});  // 13
    code.insert(code.end(), {kInvokevirtual, uint8_t(intValue >> 8), uint8_t(intValue), kIreturn});
    Bytes locals = objectType(self);
    appendBytes(locals, kInteger);
    Bytes twoNew = {8, 0, 0, 8, 0, 0};
    Bytes twoNewAndInt = twoNew;
    appendBytes(twoNewAndInt, kInteger);
    Frames map;
    map.full(12, locals, 2, twoNew, 2);
    map.full(13, locals, 2, twoNewAndInt, 3);
    MethodSpec method = intMethod("uninitializedAtZero", code, 4);
    method.code.attributes.push_back(map.attribute());
    return method;
}

// 5 through goto_w when n is not 0, else 0.
MethodSpec gotoWide(bool frames) {
    Bytes code = {kIload1};
    branch(code, kIfeq, 11);
    code.insert(code.end(), {kBipush, 5, kGotoW, 0, 0, 0, 6});  // 6: goto_w 12
    code.push_back(kIconst0);                                   // 11
    code.push_back(kIreturn);                                   // 12
    MethodSpec method = intMethod("gotoWide", code, 1);
    Frames map;
    map.same(11);
    map.sameWithItem(12, kInteger);
    if (frames) method.code.attributes.push_back(map.attribute());
    return method;
}

// n + 11 through a subroutine that keeps its return address in local 2.
MethodSpec subroutine() {
    Bytes code;
    branch(code, kJsr, 7);
    code.insert(code.end(), {kIload1, kIconst1, kIadd, kIreturn});
    code.insert(code.end(), {kAstore2, kIinc, 1, 10, kRet, 2});
    return intMethod("subroutine", code, 2, 3);
}

// n, after `length - 2` nops.
MethodSpec longMethod(std::size_t length) {
    Bytes code(length - 2, kNop);
    code.push_back(kIload1);
    code.push_back(kIreturn);
    return intMethod("identity", code, 1);
}

bool writeClass(const std::string& dir, const std::string& name, ClassFileBuilder& builder) {
    Bytes bytes = builder.bytes();
    std::ofstream out(dir + "/" + name + ".class", std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make-hand-classes OUTDIR\n";
        return 2;
    }
    std::string dir = argv[1];
    mkdir(dir.c_str(), 0777);
    mkdir((dir + "/hand").c_str(), 0777);
    bool ok = true;
    try {
        ClassFileBuilder shapes("hand/Shapes", 52);
        uint16_t self = shapes.classRef("hand/Shapes");
        addConstructor(shapes);
        addSwitches(shapes, true);
        shapes.addMethod(loopAtZero(true));
        shapes.addMethod(catchFromZero(shapes, "catchNear", 0, true));
        shapes.addMethod(catchFromZero(shapes, "catchAt58", 53, true));   // 64 + 58 + 4 still short
        shapes.addMethod(catchFromZero(shapes, "catchAt60", 55, true));   // becomes extended
        shapes.addMethod(catchFromZero(shapes, "catchAt63", 58, true));
        for (int target : {9, 59, 60, 63, 64}) {
            shapes.addMethod(frameAt("frameAt" + std::to_string(target), target, false));
            shapes.addMethod(frameAt("itemAt" + std::to_string(target), target, true));
        }
        shapes.addMethod(uninitializedAtZero(shapes, self));
        shapes.addMethod(gotoWide(true));
        ok &= writeClass(dir, "hand/Shapes", shapes);

        // Before StackMapTable: the old verifier infers the types itself.
        ClassFileBuilder old("hand/Old", 49);
        addConstructor(old);
        addSwitches(old, false);
        old.addMethod(loopAtZero(false));
        old.addMethod(catchFromZero(old, "catchNear", 0, false));
        old.addMethod(gotoWide(false));
        old.addMethod(subroutine());
        ok &= writeClass(dir, "hand/Old", old);

        ClassFileBuilder largest("hand/Largest", 52);
        addConstructor(largest);
        largest.addMethod(longMethod(65535 - kHookCallLength));
        ok &= writeClass(dir, "hand/Largest", largest);

        ClassFileBuilder tooLong("hand/TooLong", 52);
        addConstructor(tooLong);
        tooLong.addMethod(longMethod(65536 - kHookCallLength));
        ok &= writeClass(dir, "hand/TooLong", tooLong);

        ClassFileBuilder fullPool("hand/FullPool", 52);
        addConstructor(fullPool);
        fullPool.addMethod(longMethod(2));
        fullPool.fillPoolTo(65535 - 6);
        ok &= writeClass(dir, "hand/FullPool", fullPool);

        ClassFileBuilder overfullPool("hand/OverfullPool", 52);
        addConstructor(overfullPool);
        overfullPool.addMethod(longMethod(2));
        overfullPool.fillPoolTo(65535 - 5);
        ok &= writeClass(dir, "hand/OverfullPool", overfullPool);
    } catch (const std::exception& e) {
        std::cerr << "make-hand-classes: " << e.what() << "\n";
        return 1;
    }
    std::ofstream expected(dir + "/expected.txt");
    expected << "hand.Shapes rewritten 1\n"
                "hand.Old rewritten 1\n"
                "hand.Largest rewritten 1\n"
                "hand.TooLong rewritten 0\n"
                "hand.FullPool rewritten 1\n"
                "hand.OverfullPool constant-pool-full 0\n";
    ok &= static_cast<bool>(expected);
    if (!ok) {
        std::cerr << "make-hand-classes: cannot write to " << dir << "\n";
        return 1;
    }
    return 0;
}

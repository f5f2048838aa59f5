#include <gtest/gtest.h>

#include <functional>

#include "instrument/BytecodeScan.h"
#include "instrument/ClassRewriter.h"
#include "instrument/HookField.h"
#include "tests/ClassFiles.h"

namespace {

const char* const kHookText = "java/lang/KelmoraHook.receiver Ljava/lang/Object;";
// Where the old code begins once the call is in front of it.
constexpr uint32_t K = kHookCallLength;

RewriteResult rewrite(const Bytes& bytes) {
    return rewriteClass(bytes.data(), bytes.size(), hookTarget());
}

MethodSpec instanceMethod(std::string name, Bytes code, uint16_t maxStack = 2) {
    MethodSpec method;
    method.name = std::move(name);
    method.code.code = std::move(code);
    method.code.maxStack = maxStack;
    return method;
}

ClassAttribute attribute(std::string name, Bytes info) { return {std::move(name), std::move(info)}; }

Bytes u2s(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (uint32_t value : values) appendU2(out, value);
    return out;
}

// The rewritten method must be the hook call followed by the old code.
void expectHookThenCode(const ParsedClass& parsed, const ParsedMethod& method, const Bytes& code) {
    ASSERT_TRUE(method.hasCode);
    const Bytes& now = method.code.code;
    ASSERT_EQ(now.size(), code.size() + K);
    // aload_0; putstatic; nop * 4.
    EXPECT_EQ(Bytes(now.begin(), now.begin() + K), Bytes({0x2a, 0xb3, now[2], now[3], 0, 0, 0, 0}));
    EXPECT_EQ(parsed.memberrefText(readU2(now, 2)), kHookText);
    EXPECT_EQ(Bytes(now.begin() + K, now.end()), code);
    uint16_t index = 0;
    EXPECT_TRUE(beginsWithHookCall(now.data(), now.size(), index));
    EXPECT_EQ(index, readU2(now, 2));
}

TEST(ClassRewriterTest, OnlyInstanceMethodsThatKeepLocalZeroGetTheCall) {
    ClassFileBuilder builder("app/Plain");
    builder.addMethod(instanceMethod("get", {0x2a, 0xb0}, 3));      // aload_0; areturn
    builder.addMethod(instanceMethod("empty", {0xb1}, 0));          // return, max_stack 0
    MethodSpec stat = instanceMethod("stat", {0xb1});
    stat.access = 0x0009;
    builder.addMethod(stat);
    MethodSpec native = instanceMethod("nat", {});
    native.access = 0x0101;
    native.hasCode = false;
    builder.addMethod(native);
    MethodSpec abstractOne = native;
    abstractOne.name = "abs";
    abstractOne.access = 0x0401;
    builder.addMethod(abstractOne);
    MethodSpec clinit = instanceMethod("<clinit>", {0xb1});
    clinit.access = 0x0008;
    builder.addMethod(clinit);
    builder.addMethod(instanceMethod("store", {0x01, 0x4b, 0xb1}));  // astore_0
    builder.addMethod(instanceMethod("iinc", {0x84, 0x00, 0x01, 0xb1}));
    Bytes original = builder.bytes();
    ParsedClass before = parseClass(original);

    RewriteResult result = rewrite(original);
    ASSERT_EQ(result.outcome, ClassOutcome::Rewritten);
    EXPECT_EQ(result.className, "app/Plain");
    EXPECT_EQ(result.count(MethodOutcome::Rewritten), 2u);
    EXPECT_EQ(result.count(MethodOutcome::NotInstance), 4u);
    EXPECT_EQ(result.count(MethodOutcome::WritesLocalZero), 2u);
    ParsedClass after = parseClass(result.bytes);
    expectHookThenCode(after, after.method("get"), {0x2a, 0xb0});
    expectHookThenCode(after, after.method("empty"), {0xb1});
    EXPECT_EQ(after.method("get").code.maxStack, 3);
    EXPECT_EQ(after.method("empty").code.maxStack, 1);
    for (const char* untouched : {"stat", "nat", "abs", "<clinit>", "store", "iinc"}) {
        EXPECT_EQ(after.method(untouched).raw, before.method(untouched).raw) << untouched;
    }
    // One set of entries serves every method: Utf8 of the class, its
    // Class, two Utf8 for name and descriptor, NameAndType and Methodref.
    EXPECT_EQ(after.pool.size(), before.pool.size() + 6);
    EXPECT_EQ(readU2(after.method("get").code.code, 2), readU2(after.method("empty").code.code, 2));
}

ClassAttribute stackMap(uint16_t count, const Bytes& frames);

Bytes u2Bytes(uint16_t value) { return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}; }
Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) appendBytes(out, part);
    return out;
}

// A constructor hands over the object right after its own super or this
// call, once it is initialized; a constructor call inside the arguments is
// another object's.
TEST(ClassRewriterTest, ConstructorsCallTheHookRightAfterTheirOwnSuperOrThisCall) {
    ClassFileBuilder builder("app/Built", 52, "app/Base");
    uint16_t baseInit = builder.methodref("app/Base", "<init>", "()V");
    uint16_t selfInit = builder.methodref("app/Built", "<init>", "(Ljava/lang/Object;)V");
    uint16_t partInit = builder.methodref("app/Part", "<init>", "()V");
    uint16_t part = builder.classRef("app/Part");
    // Built(Object) { super(); }
    Bytes superCall = join({{0x2a, 0xb7}, u2Bytes(baseInit), {0xb1}});
    MethodSpec plain = instanceMethod("<init>", superCall);
    plain.descriptor = "(Ljava/lang/Object;)V";
    builder.addMethod(plain);
    // Built() { this(new Part()); }
    Bytes thisCall = join({{0x2a, 0xbb}, u2Bytes(part), {0x59, 0xb7}, u2Bytes(partInit), {0xb7},
                           u2Bytes(selfInit), {0xb1}});
    builder.addMethod(instanceMethod("<init>", thisCall, 3));
    // Built(int) { super(); while (n != 0) n--; }: a loop behind the call.
    Bytes loop = join({{0x2a, 0xb7}, u2Bytes(baseInit), {0x1b, 0x99, 0x00, 0x09, 0x84, 0x01, 0xff,
                                                          0xa7, 0xff, 0xf9, 0xb1}});
    MethodSpec looping = instanceMethod("<init>", loop);
    looping.descriptor = "(I)V";
    looping.code.maxLocals = 2;
    // Frames at the loop's head (4) and end (14): both move behind the call.
    looping.code.attributes = {stackMap(2, {4, 9})};
    builder.addMethod(looping);
    // A static method taken as an instance method (a long parameter) would
    // need a frame for its null test, and has no table to hold one: it is
    // left as it is.
    MethodSpec statics = instanceMethod("first", {0xb1});
    statics.access = 0x0009;
    statics.descriptor = "(Ljava/lang/Object;J)V";
    builder.addMethod(statics);
    RewriteResult result = rewrite(builder.bytes());
    ASSERT_EQ(result.outcome, ClassOutcome::Rewritten);
    EXPECT_EQ(result.count(MethodOutcome::Rewritten), 3u);
    EXPECT_EQ(result.count(MethodOutcome::NoStackMap), 1u);
    ParsedClass after = parseClass(result.bytes);
    auto expectCallAt = [&](const ParsedMethod& method, const Bytes& code, std::size_t at) {
        const Bytes& now = method.code.code;
        ASSERT_EQ(now.size(), code.size() + K) << method.descriptor;
        EXPECT_EQ(Bytes(now.begin(), now.begin() + at), Bytes(code.begin(), code.begin() + at));
        EXPECT_EQ(now[at], 0x2a);
        EXPECT_EQ(now[at + 1], 0xb3);
        EXPECT_EQ(after.memberrefText(readU2(now, at + 2)), kHookText);
        EXPECT_EQ(Bytes(now.begin() + at + K, now.end()), Bytes(code.begin() + at, code.end()));
    };
    expectCallAt(after.method("<init>", "(Ljava/lang/Object;)V"), superCall, 4);
    expectCallAt(after.method("<init>", "()V"), thisCall, 11);
    expectCallAt(after.method("<init>", "(I)V"), loop, 4);
    EXPECT_EQ(after.method("<init>", "(I)V").code.attribute("StackMapTable")->info,
              join({u2s({2}), {4 + K, 9}}));
    EXPECT_EQ(after.method("first").raw, parseClass(builder.bytes()).method("first").raw);
}

// A static method the agent takes as an instance method (a long or double
// parameter) hands over its first parameter, an object, unless it is null:
// the null test's jump lands on the old code's start, which gets a frame
// where the class file has frames (and the method a table for them).
TEST(ClassRewriterTest, StaticMethodsTakenAsInstanceHandOverAReferenceThatIsNotNull) {
    constexpr uint32_t G = kGuardedHookCallLength;
    auto staticMethod = [](std::string name, std::string descriptor, Bytes code) {
        MethodSpec method = instanceMethod(std::move(name), std::move(code), 4);
        method.access = 0x0009;
        method.descriptor = std::move(descriptor);
        method.code.maxLocals = 4;
        return method;
    };
    ClassFileBuilder builder("app/Statics", 52);
    // check(Object o, double d) { if (o == null) return; }: a frame at 5.
    Bytes check = {0x2a, 0xc7, 0x00, 0x04, 0xb1, 0xb1};
    MethodSpec checking = staticMethod("check", "(Ljava/lang/Object;D)V", check);
    checking.code.attributes = {stackMap(1, {5})};
    builder.addMethod(checking);
    // spin(Object o, long n) { while (n != 0) {} }: a frame at the start.
    Bytes spin = {0x1f, 0x09, 0x94, 0x99, 0x00, 0x06, 0xa7, 0xff, 0xfa, 0xb1};
    MethodSpec spinning = staticMethod("spin", "([Ljava/lang/Object;J)V", spin);
    spinning.code.attributes = {stackMap(2, {0, 8})};
    builder.addMethod(spinning);
    // Not taken as instance, or a primitive in local 0: left as they are.
    builder.addMethod(staticMethod("plain", "(Ljava/lang/Object;I)V", {0xb1}));
    builder.addMethod(staticMethod("first", "(JLjava/lang/Object;)V", {0xb1}));
    builder.addMethod(staticMethod("arrays", "(Ljava/lang/Object;[J[D)V", {0xb1}));
    RewriteResult result = rewrite(builder.bytes());
    ASSERT_EQ(result.outcome, ClassOutcome::Rewritten);
    EXPECT_EQ(result.count(MethodOutcome::Rewritten), 2u);
    EXPECT_EQ(result.count(MethodOutcome::NotInstance), 3u);
    ParsedClass after = parseClass(result.bytes);
    auto expectGuardThenCode = [&](const char* name, const Bytes& code, const Bytes& frames) {
        const Bytes& now = after.method(name).code.code;
        ASSERT_EQ(now.size(), code.size() + G) << name;
        // aload_0; ifnull +11; aload_0; putstatic; nop * 4.
        EXPECT_EQ(Bytes(now.begin(), now.begin() + G),
                  Bytes({0x2a, 0xc6, 0x00, 0x0b, 0x2a, 0xb3, now[6], now[7], 0, 0, 0, 0}));
        EXPECT_EQ(after.memberrefText(readU2(now, 6)), kHookText);
        EXPECT_EQ(Bytes(now.begin() + G, now.end()), code);
        uint16_t index = 0;
        EXPECT_TRUE(beginsWithGuardedHookCall(now.data(), now.size(), index));
        EXPECT_EQ(index, readU2(now, 6));
        EXPECT_FALSE(beginsWithHookCall(now.data(), now.size(), index));
        EXPECT_EQ(after.method(name).code.attribute("StackMapTable")->info, frames);
    };
    // A same_frame at 12 first, then the old frame at 5 + 12.
    expectGuardThenCode("check", check, join({u2s({2}), {G, 4}}));
    // The old frame at the start serves the jump.
    expectGuardThenCode("spin", spin, join({u2s({2}), {G, 8}}));
    for (const char* name : {"plain", "first", "arrays"}) {
        EXPECT_EQ(after.method(name).raw, parseClass(builder.bytes()).method(name).raw) << name;
    }

    // Before Java 6's class files no frame is needed, nor added.
    ClassFileBuilder old("app/Old", 49);
    old.addMethod(staticMethod("first", "(Ljava/lang/Object;J)V", {0xb1}));
    RewriteResult oldResult = rewrite(old.bytes());
    ASSERT_EQ(oldResult.outcome, ClassOutcome::Rewritten);
    ParsedClass oldParsed = parseClass(oldResult.bytes);
    const ParsedMethod& oldFirst = oldParsed.method("first");
    EXPECT_EQ(oldFirst.code.code.size(), G + 1);
    EXPECT_EQ(oldFirst.code.attribute("StackMapTable"), nullptr);
}

// The agent relies on what a rewritten class's constructor calls initialize:
// a class whose calls cannot be told apart is left as it is.
TEST(ClassRewriterTest, ClassesWhoseConstructorCallsCannotBeFollowedStayAsTheyAre) {
    auto withMethod = [](const std::function<Bytes(ClassFileBuilder&)>& code, uint16_t major = 52) {
        ClassFileBuilder builder("app/Odd", major);
        builder.addMethod(instanceMethod("get", {0x2a, 0xb0}));
        builder.addMethod(instanceMethod("make", code(builder), 4));
        return rewrite(builder.bytes());
    };
    // new A, but a constructor of B called on it: only code the VM never
    // verified holds this (a serialization constructor's, say).
    RewriteResult other = withMethod([](ClassFileBuilder& b) {
        return join({{0xbb}, u2Bytes(b.classRef("app/A")), {0x59, 0xb7},
                     u2Bytes(b.methodref("app/B", "<init>", "()V")), {0xb0}});
    });
    EXPECT_EQ(other.outcome, ClassOutcome::ConstructorCallsNotFollowed);
    EXPECT_TRUE(other.bytes.empty());
    // An object not yet initialized passed on, and a subroutine.
    RewriteResult passed = withMethod([](ClassFileBuilder& b) {
        return join({{0xbb}, u2Bytes(b.classRef("app/A")), {0x59, 0xb8},
                     u2Bytes(b.methodref("app/A", "use", "(Ljava/lang/Object;)V")), {0xb7},
                     u2Bytes(b.methodref("app/A", "<init>", "()V")), {0xb1}});
    });
    EXPECT_EQ(passed.outcome, ClassOutcome::ConstructorCallsNotFollowed);
    RewriteResult subroutine = withMethod([](ClassFileBuilder& b) {
        return join({{0xbb}, u2Bytes(b.classRef("app/A")), {0x59, 0xb7},
                     u2Bytes(b.methodref("app/A", "<init>", "()V")), {0x57, 0xa8, 0x00, 0x04, 0xb1,
                                                                       0x4c, 0xa9, 0x01}});
    }, 49);
    EXPECT_EQ(subroutine.outcome, ClassOutcome::ConstructorCallsNotFollowed);
    // Paths that meet with different stacks: at a jump's target, and (the
    // jump landing inside `sipush 0`, whose operand reads as two nops) at
    // an instruction no jump names.
    auto made = [](ClassFileBuilder& b) {
        return join({{0xbb}, u2Bytes(b.classRef("app/A")), {0x59, 0xb7},
                     u2Bytes(b.methodref("app/A", "<init>", "()V")), {0x57}});
    };
    RewriteResult atTarget = withMethod([&made](ClassFileBuilder& b) {
        return join({made(b), {0x1b, 0x99, 0x00, 0x05, 0x03, 0x00, 0xb1}});
    });
    EXPECT_EQ(atTarget.outcome, ClassOutcome::ConstructorCallsNotFollowed);
    RewriteResult inside = withMethod([&made](ClassFileBuilder& b) {
        return join({made(b), {0x1b, 0x99, 0x00, 0x05, 0x03, 0x11, 0x00, 0x00, 0xb1}});
    });
    EXPECT_EQ(inside.outcome, ClassOutcome::ConstructorCallsNotFollowed);
    // Followed, and matching: the class is rewritten as any other.
    RewriteResult matching = withMethod([](ClassFileBuilder& b) {
        return join({{0xbb}, u2Bytes(b.classRef("app/A")), {0x59, 0xb7},
                     u2Bytes(b.methodref("app/A", "<init>", "()V")), {0xb0}});
    });
    EXPECT_EQ(matching.outcome, ClassOutcome::Rewritten);
    EXPECT_EQ(matching.count(MethodOutcome::Rewritten), 2u);

    // A constructor with a super call on each of two paths: no one place for
    // the call, the constructor stays as it is, the rest is rewritten.
    ClassFileBuilder twice("app/Twice");
    uint16_t init = twice.methodref("java/lang/Object", "<init>", "()V");
    MethodSpec branches = instanceMethod(
        "<init>", join({{0x1b, 0x99, 0x00, 0x0a, 0x2a, 0xb7}, u2Bytes(init), {0xa7, 0x00, 0x07, 0x2a, 0xb7},
                        u2Bytes(init), {0xb1}}));
    branches.descriptor = "(I)V";
    branches.code.maxLocals = 2;
    twice.addMethod(branches);
    twice.addMethod(instanceMethod("get", {0x2a, 0xb0}));
    RewriteResult result = rewrite(twice.bytes());
    ASSERT_EQ(result.outcome, ClassOutcome::Rewritten);
    EXPECT_EQ(result.count(MethodOutcome::SuperCallNotFound), 1u);
    EXPECT_EQ(result.count(MethodOutcome::Rewritten), 1u);
}

TEST(ClassRewriterTest, EntriesAlreadyInThePoolAreReused) {
    ClassFileBuilder builder("app/Calls");
    builder.utf8(kHookFieldDescriptor);
    builder.addMethod(instanceMethod("get", {0x2a, 0xb0}));
    ParsedClass before = parseClass(builder.bytes());
    RewriteResult some = rewrite(builder.bytes());
    ASSERT_EQ(some.outcome, ClassOutcome::Rewritten);
    EXPECT_EQ(parseClass(some.bytes).pool.size(), before.pool.size() + 5);

    // A class that calls the hook already needs no entry at all.
    ClassFileBuilder calls("app/Calls");
    uint16_t ref = calls.fieldref(kHookClassName, kHookFieldName, kHookFieldDescriptor);
    calls.addMethod(instanceMethod("get", {0x2a, 0xb0}));
    Bytes original = calls.bytes();
    RewriteResult all = rewrite(original);
    ASSERT_EQ(all.outcome, ClassOutcome::Rewritten);
    ParsedClass after = parseClass(all.bytes);
    EXPECT_EQ(after.pool.size(), parseClass(original).pool.size());
    EXPECT_EQ(readU2(after.method("get").code.code, 2), ref);
}

TEST(ClassRewriterTest, ClassesLeftAsTheyAre) {
    ClassFileBuilder none("app/None");
    MethodSpec stat = instanceMethod("stat", {0xb1});
    stat.access = 0x0009;
    none.addMethod(stat);
    RewriteResult result = rewrite(none.bytes());
    EXPECT_EQ(result.outcome, ClassOutcome::NothingEligible);
    EXPECT_TRUE(result.bytes.empty());

    ClassFileBuilder hook(kHookClassName);
    hook.addMethod(instanceMethod("get", {0x2a, 0xb0}));
    EXPECT_EQ(rewrite(hook.bytes()).outcome, ClassOutcome::HookClass);
    // The class the agent defines for the hook field: it parses to its end,
    // has no method, and is left alone.
    Bytes defined = hookClassFile(hookTarget());
    EXPECT_TRUE(parseClass(defined).methods.empty());
    EXPECT_EQ(rewrite(defined).outcome, ClassOutcome::HookClass);

    for (uint16_t major : {44, 70}) {
        ClassFileBuilder odd("app/Odd", major);
        odd.addMethod(instanceMethod("get", {0x2a, 0xb0}));
        EXPECT_EQ(rewrite(odd.bytes()).outcome, ClassOutcome::UnsupportedVersion) << major;
    }
    for (uint16_t major : {45, 49, 50, 61, 69}) {
        ClassFileBuilder known("app/Known", major);
        known.addMethod(instanceMethod("get", {0x2a, 0xb0}));
        EXPECT_EQ(rewrite(known.bytes()).outcome, ClassOutcome::Rewritten) << major;
    }
}

TEST(ClassRewriterTest, EveryKindOfPoolEntryIsRead) {
    ClassFileBuilder builder("app/Pool", 61);
    uint16_t nat = builder.nameAndType("x", "I");
    uint16_t text = builder.utf8("text");
    uint16_t owner = builder.classRef("app/Owner");
    builder.rawEntry({4, 0x3f, 0x80, 0, 0});                                  // Float
    builder.longValue(-1);                                                    // Long, 2 slots
    builder.rawEntry({6, 0, 0, 0, 0, 0, 0, 0, 0}, 2);                         // Double
    builder.rawEntry(Bytes{8, uint8_t(text >> 8), uint8_t(text)});            // String
    uint16_t field = builder.rawEntry(
        {9, uint8_t(owner >> 8), uint8_t(owner), uint8_t(nat >> 8), uint8_t(nat)});  // Fieldref
    builder.rawEntry({11, uint8_t(owner >> 8), uint8_t(owner), uint8_t(nat >> 8),
                      uint8_t(nat)});                                         // InterfaceMethodref
    builder.rawEntry({15, 1, uint8_t(field >> 8), uint8_t(field)});           // MethodHandle
    builder.rawEntry(Bytes{16, uint8_t(text >> 8), uint8_t(text)});           // MethodType
    builder.rawEntry({17, 0, 0, uint8_t(nat >> 8), uint8_t(nat)});            // Dynamic
    builder.rawEntry({18, 0, 0, uint8_t(nat >> 8), uint8_t(nat)});            // InvokeDynamic
    builder.rawEntry(Bytes{19, uint8_t(text >> 8), uint8_t(text)});           // Module
    builder.rawEntry(Bytes{20, uint8_t(text >> 8), uint8_t(text)});           // Package
    builder.addMethod(instanceMethod("get", {0x2a, 0xb0}));
    Bytes original = builder.bytes();
    RewriteResult result = rewrite(original);
    ASSERT_EQ(result.outcome, ClassOutcome::Rewritten);
    ParsedClass after = parseClass(result.bytes);
    expectHookThenCode(after, after.method("get"), {0x2a, 0xb0});

    // An entry that names a missing entry, or one of the wrong kind, would
    // name one of ours once they are appended: not a pool we take.
    for (Bytes entry : {Bytes{7, 0x7f, 0x00}, Bytes{12, 0, 1, 0x7f, 0}, Bytes{10, 0, 1, 0, 1},
                        Bytes{15, 1, 0, 1}, Bytes{18, 0, 0, 0x7f, 0}, Bytes{8, 0x7f, 0}}) {
        ClassFileBuilder dangling("app/Pool");
        dangling.utf8("first");
        dangling.rawEntry(entry);
        dangling.addMethod(instanceMethod("get", {0x2a, 0xb0}));
        EXPECT_EQ(rewrite(dangling.bytes()).outcome, ClassOutcome::NotUnderstood) << int(entry[0]);
    }

    // An unknown tag, or a Long in the last slot, is not a pool we know.
    ClassFileBuilder unknown("app/Pool");
    unknown.rawEntry({2, 0, 0});
    unknown.addMethod(instanceMethod("get", {0x2a, 0xb0}));
    EXPECT_EQ(rewrite(unknown.bytes()).outcome, ClassOutcome::NotUnderstood);
    // A Long whose second slot falls just outside the pool's count.
    ClassFileBuilder tail("app/Pool");
    tail.addMethod(instanceMethod("get", {0x2a, 0xb0}));
    tail.fillPoolTo(20);
    tail.longValue(7);
    Bytes withLong = tail.bytes();
    uint16_t count = readU2(withLong, 8);
    Bytes shortCount = withLong;
    shortCount[8] = static_cast<uint8_t>((count - 1) >> 8);
    shortCount[9] = static_cast<uint8_t>(count - 1);
    EXPECT_EQ(rewrite(shortCount).outcome, ClassOutcome::NotUnderstood);
    EXPECT_EQ(rewrite(withLong).outcome, ClassOutcome::Rewritten);
}

TEST(ClassRewriterTest, DamagedClassFilesAreLeftAlone) {
    ClassFileBuilder builder("app/Whole");
    MethodSpec method = instanceMethod("get", {0x2a, 0xb0});
    method.code.attributes.push_back(attribute("LineNumberTable", u2s({1, 0, 10})));
    method.code.attributes.push_back(attribute("StackMapTable", u2s({0})));
    builder.addMethod(method);
    builder.addClassAttribute(attribute("SourceFile", u2s({1})));
    Bytes whole = builder.bytes();
    ASSERT_EQ(rewrite(whole).outcome, ClassOutcome::Rewritten);
    // Every cut leaves the class untouched, and nothing reads past the end
    // (the sanitizer build would see it).
    for (std::size_t length = 0; length < whole.size(); ++length) {
        Bytes cut(whole.begin(), whole.begin() + static_cast<long>(length));
        RewriteResult result = rewriteClass(cut.data(), cut.size(), hookTarget());
        EXPECT_NE(result.outcome, ClassOutcome::Rewritten) << length;
        EXPECT_TRUE(result.bytes.empty());
    }
    Bytes longer = whole;
    longer.push_back(0);
    EXPECT_EQ(rewrite(longer).outcome, ClassOutcome::NotUnderstood);
    Bytes noMagic = whole;
    noMagic[0] = 0;
    EXPECT_EQ(rewrite(noMagic).outcome, ClassOutcome::NotUnderstood);
}

// A class whose one method has `code` and the given attributes inside Code.
Bytes oneMethod(const Bytes& code, std::vector<ClassAttribute> attributes,
                std::vector<Handler> handlers = {}, uint16_t major = 52) {
    ClassFileBuilder builder("app/One", major);
    MethodSpec method = instanceMethod("m", code);
    method.code.attributes = std::move(attributes);
    method.code.handlers = std::move(handlers);
    builder.addMethod(method);
    return builder.bytes();
}

ParsedMethod rewrittenMethod(const Bytes& original) {
    RewriteResult result = rewrite(original);
    EXPECT_EQ(result.outcome, ClassOutcome::Rewritten);
    if (result.outcome != ClassOutcome::Rewritten) return {};
    return parseClass(result.bytes).method("m");
}

TEST(ClassRewriterTest, ExceptionTableAndLineAndVariableTablesMove) {
    Bytes code(20, 0x00);  // nops
    code.back() = 0xb1;
    Bytes lines = u2s({3, 0, 7, 5, 8, 19, 9});
    Bytes variables = u2s({2, 0, 20, 1, 2, 0, 6, 10, 3, 4, 1});
    Bytes types = u2s({1, 6, 10, 5, 6, 1});
    std::vector<Handler> handlers = {{0, 6, 10, 0}, {2, 20, 0, 7}};
    ParsedMethod method = rewrittenMethod(oneMethod(
        code,
        {attribute("LineNumberTable", lines), attribute("LocalVariableTable", variables),
         attribute("LocalVariableTypeTable", types)},
        handlers));
    ASSERT_EQ(method.code.handlers.size(), 2u);
    EXPECT_EQ(method.code.handlers[0].start, 0 + K);
    EXPECT_EQ(method.code.handlers[0].end, 6 + K);
    EXPECT_EQ(method.code.handlers[0].handler, 10 + K);
    EXPECT_EQ(method.code.handlers[0].catchType, 0);
    EXPECT_EQ(method.code.handlers[1].start, 2 + K);
    EXPECT_EQ(method.code.handlers[1].end, 20 + K);
    EXPECT_EQ(method.code.handlers[1].handler, 0 + K);
    EXPECT_EQ(method.code.handlers[1].catchType, 7);
    // The first line also covers the inserted call; the others move.
    EXPECT_EQ(method.code.attribute("LineNumberTable")->info, u2s({3, 0, 7, 5 + K, 8, 19 + K, 9}));
    // A variable live from the start (this) now spans the call too.
    EXPECT_EQ(method.code.attribute("LocalVariableTable")->info,
              u2s({2, 0, 20 + K, 1, 2, 0, 6 + K, 10, 3, 4, 1}));
    EXPECT_EQ(method.code.attribute("LocalVariableTypeTable")->info, u2s({1, 6 + K, 10, 5, 6, 1}));
}

// A StackMapTable of the given frames (already encoded).
ClassAttribute stackMap(uint16_t count, const Bytes& frames) {
    Bytes info = u2s({count});
    appendBytes(info, frames);
    return attribute("StackMapTable", info);
}

Bytes stackMapAfter(const Bytes& frames, uint16_t count) {
    Bytes code(300, 0x00);
    code.back() = 0xb1;
    ParsedMethod method = rewrittenMethod(oneMethod(code, {stackMap(count, frames)}));
    const ClassAttribute* table = method.code.attribute("StackMapTable");
    if (!table) return {};
    EXPECT_EQ(readU2(table->info, 0), count);
    return Bytes(table->info.begin() + 2, table->info.end());
}

TEST(ClassRewriterTest, FirstFrameOfTheStackMapMovesInItsOwnForm) {
    // same_frame: a short delta stays short until it passes 63.
    EXPECT_EQ(stackMapAfter({0}, 1), Bytes({K}));
    EXPECT_EQ(stackMapAfter({63 - K}, 1), Bytes({63}));
    EXPECT_EQ(stackMapAfter({64 - K}, 1), Bytes({251, 0, 64}));
    EXPECT_EQ(stackMapAfter({63}, 1), Bytes({251, 0, 63 + K}));
    // same_locals_1_stack_item with its type (Integer), likewise.
    EXPECT_EQ(stackMapAfter({64 + 10, 1}, 1), Bytes({64 + 10 + K, 1}));
    EXPECT_EQ(stackMapAfter({64 + 63 - K, 1}, 1), Bytes({127, 1}));
    EXPECT_EQ(stackMapAfter({64 + 62, 7, 0, 9}, 1), Bytes({247, 0, 62 + K, 7, 0, 9}));
    // The extended forms only get a larger delta.
    EXPECT_EQ(stackMapAfter({247, 0, 100, 2}, 1), Bytes({247, 0, 100 + K, 2}));
    EXPECT_EQ(stackMapAfter({248, 0, 7}, 1), Bytes({248, 0, 7 + K}));
    EXPECT_EQ(stackMapAfter({250, 0, 7}, 1), Bytes({250, 0, 7 + K}));
    EXPECT_EQ(stackMapAfter({251, 1, 0}, 1), Bytes({251, 1, K}));
    EXPECT_EQ(stackMapAfter({252, 0, 5, 1}, 1), Bytes({252, 0, 5 + K, 1}));
    EXPECT_EQ(stackMapAfter({254, 0, 5, 1, 4, 7, 0, 3}, 1), Bytes({254, 0, 5 + K, 1, 4, 7, 0, 3}));
    EXPECT_EQ(stackMapAfter({255, 0, 5, 0, 2, 7, 0, 3, 1, 0, 1, 5}, 1),
              Bytes({255, 0, 5 + K, 0, 2, 7, 0, 3, 1, 0, 1, 5}));
    // Later frames are relative to the one before and keep their deltas.
    EXPECT_EQ(stackMapAfter({62, 3, 64 + 2, 1, 251, 0, 9}, 4),
              Bytes({251, 0, 62 + K, 3, 64 + 2, 1, 251, 0, 9}));
}

TEST(ClassRewriterTest, UninitializedTypesNameTheirMovedNewInstruction) {
    // Uninitialized(0) and Uninitialized(12) in a full frame's stack, then
    // one in a later same_locals_1_stack_item frame.
    Bytes frames = {255, 0, 20, 0, 1, 7, 0, 3, 0, 2, 8, 0, 0, 8, 0, 12, 64 + 3, 8, 0, 40};
    EXPECT_EQ(stackMapAfter(frames, 2),
              Bytes({255, 0, 20 + K, 0, 1, 7, 0, 3, 0, 2, 8, 0, K, 8, 0, 12 + K, 64 + 3, 8, 0,
                     40 + K}));
}

TEST(ClassRewriterTest, CodeAttributesWeCannotShiftLeaveTheMethodAlone) {
    Bytes code = {0x2a, 0xb0};
    struct Case {
        const char* what;
        std::vector<ClassAttribute> attributes;
        MethodOutcome outcome;
    };
    const Case cases[] = {
        {"unknown attribute", {attribute("CharacterRangeTable", u2s({0}))},
         MethodOutcome::UnknownAttribute},
        {"reserved frame type", {stackMap(1, {128})}, MethodOutcome::BadAttribute},
        {"bad verification type", {stackMap(1, {64, 9})}, MethodOutcome::BadAttribute},
        {"frame cut off", {stackMap(2, {0})}, MethodOutcome::BadAttribute},
        {"bytes after the frames", {stackMap(1, {0, 0})}, MethodOutcome::BadAttribute},
        {"two stack maps", {stackMap(1, {0}), stackMap(1, {0})}, MethodOutcome::BadAttribute},
        {"line table cut off", {attribute("LineNumberTable", u2s({2, 0, 1}))},
         MethodOutcome::BadAttribute},
        {"offset that would wrap", {attribute("LineNumberTable", u2s({1, 0xfffd, 1}))},
         MethodOutcome::BadAttribute},
        // Offsets outside the code (2 bytes here) are not ours to move.
        {"line past the code", {attribute("LineNumberTable", u2s({1, 2, 1}))},
         MethodOutcome::BadAttribute},
        {"variable past the code", {attribute("LocalVariableTable", u2s({1, 0, 3, 1, 2, 0}))},
         MethodOutcome::BadAttribute},
        {"frame past the code", {stackMap(2, {0, 1})}, MethodOutcome::BadAttribute},
        {"new past the code", {stackMap(1, {64, 8, 0, 2})}, MethodOutcome::BadAttribute},
        {"type annotation of a field target",
         {attribute("RuntimeVisibleTypeAnnotations", {0, 1, 0x13, 0, 0, 1, 0, 0})},
         MethodOutcome::BadAttribute},
    };
    for (const Case& c : cases) {
        ClassFileBuilder builder("app/Two");
        MethodSpec bad = instanceMethod("bad", code);
        bad.code.attributes = c.attributes;
        builder.addMethod(bad);
        builder.addMethod(instanceMethod("good", code));
        Bytes original = builder.bytes();
        RewriteResult result = rewrite(original);
        ASSERT_EQ(result.outcome, ClassOutcome::Rewritten) << c.what;
        EXPECT_EQ(result.count(c.outcome), 1u) << c.what;
        ParsedClass after = parseClass(result.bytes);
        EXPECT_EQ(after.method("bad").raw, parseClass(original).method("bad").raw) << c.what;
        expectHookThenCode(after, after.method("good"), code);
    }
    for (Handler outside : {Handler{2, 2, 0, 0}, Handler{0, 3, 0, 0}, Handler{0, 2, 2, 0}}) {
        RewriteResult result = rewrite(oneMethod(code, {}, {outside}));
        EXPECT_EQ(result.count(MethodOutcome::BadAttribute), 1u);
        EXPECT_EQ(result.outcome, ClassOutcome::NothingEligible);
    }
    // With the bad method alone, the class stays exactly as it was.
    RewriteResult alone = rewrite(oneMethod(code, {stackMap(1, {128})}));
    EXPECT_EQ(alone.outcome, ClassOutcome::NothingEligible);
    EXPECT_TRUE(alone.bytes.empty());
}

TEST(ClassRewriterTest, TypeAnnotationOffsetsMove) {
    Bytes info = u2s({5});
    // localvar_target: one range from 0, one from 6; empty path; type 1;
    // one element pair whose value is a nested annotation holding an array.
    appendBytes(info, {0x40});
    appendBytes(info, u2s({2, 0, 10, 1, 6, 4, 2}));
    appendBytes(info, {0});
    appendBytes(info, u2s({1, 1, 1}));
    appendBytes(info, {'@'});
    appendBytes(info, u2s({1, 1, 1}));
    appendBytes(info, {'['});
    appendBytes(info, u2s({2}));
    appendBytes(info, {'I', 0, 1, 'e', 0, 1, 0, 1});
    // catch_target (an index into the exception table: unchanged).
    appendBytes(info, {0x42, 0, 3, 0});
    appendBytes(info, u2s({1, 0}));
    // offset_target (instanceof at 8), with a path of one step.
    appendBytes(info, {0x43, 0, 8, 1, 3, 0});
    appendBytes(info, u2s({1, 0}));
    // type_argument_target (cast at 2, argument 1).
    appendBytes(info, {0x47, 0, 2, 1, 0});
    appendBytes(info, u2s({1, 0}));
    // resource variable (localvar form) starting at 0.
    appendBytes(info, {0x41});
    appendBytes(info, u2s({1, 0, 3, 5}));
    appendBytes(info, {0});
    appendBytes(info, u2s({1, 0}));

    Bytes expected = u2s({5});
    appendBytes(expected, {0x40});
    appendBytes(expected, u2s({2, 0, 10 + K, 1, 6 + K, 4, 2}));
    appendBytes(expected, {0});
    appendBytes(expected, u2s({1, 1, 1}));
    appendBytes(expected, {'@'});
    appendBytes(expected, u2s({1, 1, 1}));
    appendBytes(expected, {'['});
    appendBytes(expected, u2s({2}));
    appendBytes(expected, {'I', 0, 1, 'e', 0, 1, 0, 1});
    appendBytes(expected, {0x42, 0, 3, 0});
    appendBytes(expected, u2s({1, 0}));
    appendBytes(expected, {0x43, 0, 8 + K, 1, 3, 0});
    appendBytes(expected, u2s({1, 0}));
    appendBytes(expected, {0x47, 0, 2 + K, 1, 0});
    appendBytes(expected, u2s({1, 0}));
    appendBytes(expected, {0x41});
    appendBytes(expected, u2s({1, 0, 3 + K, 5}));
    appendBytes(expected, {0});
    appendBytes(expected, u2s({1, 0}));

    Bytes code(12, 0x00);
    code.back() = 0xb1;
    for (const char* name : {"RuntimeVisibleTypeAnnotations", "RuntimeInvisibleTypeAnnotations"}) {
        ParsedMethod method = rewrittenMethod(oneMethod(code, {attribute(name, info)}));
        ASSERT_NE(method.code.attribute(name), nullptr) << name;
        EXPECT_EQ(method.code.attribute(name)->info, expected) << name;
    }
}

// The absolute targets of the branch at `pc`, decoded from the code.
std::vector<int64_t> branchTargets(const Bytes& code, std::size_t pc) {
    auto s4 = [&](std::size_t at) { return static_cast<int32_t>(readU4(code, at)); };
    std::vector<int64_t> targets;
    uint8_t opcode = code[pc];
    if (opcode == 0xaa || opcode == 0xab) {
        std::size_t at = (pc + 4) & ~std::size_t(3);
        targets.push_back(int64_t(pc) + s4(at));
        if (opcode == 0xaa) {
            int32_t low = s4(at + 4), high = s4(at + 8);
            for (int32_t i = 0; i <= high - low; ++i) targets.push_back(int64_t(pc) + s4(at + 12 + 4 * i));
        } else {
            int32_t pairs = s4(at + 4);
            for (int32_t i = 0; i < pairs; ++i) targets.push_back(int64_t(pc) + s4(at + 12 + 8 * i));
        }
    } else if (opcode == 0xc8 || opcode == 0xc9) {
        targets.push_back(int64_t(pc) + s4(pc + 1));
    } else {
        targets.push_back(int64_t(pc) + static_cast<int16_t>(readU2(code, pc + 1)));
    }
    return targets;
}

TEST(ClassRewriterTest, SwitchesAtEveryAlignmentAndWideJumpsKeepTheirTargets) {
    for (int pad = 0; pad < 4; ++pad) {
        for (uint8_t opcode : {uint8_t(0xaa), uint8_t(0xab)}) {
            // nop * pad; iload_1; switch; ...; a return at every target.
            Bytes code(pad, 0x00);
            code.push_back(0x1b);
            std::size_t pc = code.size();
            code.push_back(opcode);
            while (code.size() % 4 != 0) code.push_back(0);
            std::size_t entries = 3;
            std::size_t end = code.size() + (opcode == 0xaa ? 12 : 8) + entries * (opcode == 0xaa ? 4 : 8);
            auto offsetTo = [&](std::size_t target) {
                return static_cast<uint32_t>(static_cast<int32_t>(target) - static_cast<int32_t>(pc));
            };
            appendU4(code, offsetTo(end));
            if (opcode == 0xaa) {
                appendU4(code, 1);
                appendU4(code, 3);
                for (std::size_t i = 0; i < entries; ++i) appendU4(code, offsetTo(end + 1 + i));
            } else {
                appendU4(code, static_cast<uint32_t>(entries));
                for (std::size_t i = 0; i < entries; ++i) {
                    appendU4(code, static_cast<uint32_t>(i * 10));
                    appendU4(code, offsetTo(end + 1 + i));
                }
            }
            for (std::size_t i = 0; i <= entries; ++i) code.push_back(0xb1);
            ASSERT_EQ(instructionLength(code.data(), code.size(), pc), end - pc);
            ParsedMethod method = rewrittenMethod(oneMethod(code, {}));
            const Bytes& now = method.code.code;
            ASSERT_EQ(instructionLength(now.data(), now.size(), pc + K), end - pc);
            std::vector<int64_t> before = branchTargets(code, pc), after = branchTargets(now, pc + K);
            ASSERT_EQ(before.size(), after.size());
            for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i], before[i] + K);
            EXPECT_TRUE(neverWritesLocalZero(now.data(), now.size()));
        }
    }
    // goto_w forward over a backward goto to offset 0 (a loop head at the
    // start): both still land on the old code, after the call.
    Bytes code = {0xc8, 0, 0, 0, 8, 0xa7, 0xff, 0xfb, 0xb1};
    ParsedMethod method = rewrittenMethod(oneMethod(code, {stackMap(2, {0, 7})}));
    const Bytes& now = method.code.code;
    EXPECT_EQ(branchTargets(now, K), std::vector<int64_t>{8 + K});
    EXPECT_EQ(branchTargets(now, 5 + K), std::vector<int64_t>{K});
    EXPECT_EQ(method.code.attribute("StackMapTable")->info, u2s({2, (K << 8) | 7}));
}

TEST(ClassRewriterTest, SubroutinesOfOldClassVersions) {
    // jsr to a subroutine that keeps its return address in local 1.
    Bytes code = {0xa8, 0, 4, 0xb1, 0x4c, 0xa9, 1};
    ParsedMethod method = rewrittenMethod(oneMethod(code, {}, {}, 49));
    EXPECT_EQ(Bytes(method.code.code.begin() + K, method.code.code.end()), code);
    EXPECT_EQ(branchTargets(method.code.code, K), std::vector<int64_t>{4 + K});
    // Keeping it in local 0 overwrites the receiver: left as it is.
    Bytes intoZero = {0xa8, 0, 4, 0xb1, 0x4b, 0xa9, 0};
    RewriteResult result = rewrite(oneMethod(intoZero, {}, {}, 49));
    EXPECT_EQ(result.outcome, ClassOutcome::NothingEligible);
    EXPECT_EQ(result.count(MethodOutcome::WritesLocalZero), 1u);
}

TEST(ClassRewriterTest, CodeUpToTheLimitFits) {
    Bytes largest(65535 - K, 0x00);
    largest.back() = 0xb1;
    ParsedMethod method = rewrittenMethod(oneMethod(largest, {}));
    EXPECT_EQ(method.code.code.size(), 65535u);

    Bytes tooLarge(65536 - K, 0x00);
    tooLarge.back() = 0xb1;
    RewriteResult result = rewrite(oneMethod(tooLarge, {}));
    EXPECT_EQ(result.outcome, ClassOutcome::NothingEligible);
    EXPECT_EQ(result.count(MethodOutcome::CodeTooLong), 1u);
}

TEST(ClassRewriterTest, PoolWithRoomForExactlyTheHookEntries) {
    auto classWithPool = [](uint32_t count) {
        ClassFileBuilder builder("app/Full");
        builder.addMethod(instanceMethod("get", {0x2a, 0xb0}));
        builder.fillPoolTo(count);
        return builder.bytes();
    };
    // Six entries to add; the largest count a pool can have is 65535.
    RewriteResult fits = rewrite(classWithPool(65535 - 6));
    ASSERT_EQ(fits.outcome, ClassOutcome::Rewritten);
    ParsedClass after = parseClass(fits.bytes);
    EXPECT_EQ(after.pool.size(), 65535u);
    expectHookThenCode(after, after.method("get"), {0x2a, 0xb0});

    RewriteResult full = rewrite(classWithPool(65535 - 5));
    EXPECT_EQ(full.outcome, ClassOutcome::ConstantPoolFull);
    EXPECT_TRUE(full.bytes.empty());
    EXPECT_EQ(full.count(MethodOutcome::Rewritten), 0u);
}

TEST(ClassRewriterTest, TheHooksClassIsNeverRewritten) {
    ClassFileBuilder builder(kHookClassName);
    builder.addMethod(instanceMethod("getName", {0x2a, 0xb0}));
    RewriteResult result = rewrite(builder.bytes());
    EXPECT_EQ(result.outcome, ClassOutcome::HookClass);
    EXPECT_EQ(result.className, kHookClassName);
}

// The reverse of the rewrite, as the agent reads a method it meets: the
// call at the start of its code, and the pool entries naming the hook in a
// pool as JVMTI hands it out (the count apart, the entries as in the file).
TEST(ClassRewriterTest, TheCallAndThePoolEntriesOfTheHookAreFoundAgain) {
    ClassFileBuilder builder("app/Pool");
    builder.longValue(7);  // two slots
    uint16_t hook = builder.fieldref(kHookClassName, kHookFieldName, kHookFieldDescriptor);
    builder.fieldref(kHookClassName, kHookFieldName, "Ljava/lang/String;");
    builder.fieldref("app/Other", kHookFieldName, kHookFieldDescriptor);
    // A method of the hook's names, and a second Fieldref of the hook, with
    // a NameAndType of its own.
    builder.methodref(kHookClassName, kHookFieldName, kHookFieldDescriptor);
    uint16_t owner = builder.classRef(kHookClassName);
    uint16_t type = builder.nameAndType(kHookFieldName, kHookFieldDescriptor);
    uint16_t again = builder.rawEntry({9, static_cast<uint8_t>(owner >> 8), static_cast<uint8_t>(owner),
                                       static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)});
    Bytes file = builder.bytes();
    uint16_t count = readU2(file, 8);
    // access, this, super, interfaces, fields, methods, attributes: 7 u2s.
    Bytes entries(file.begin() + 10, file.end() - 14);
    EXPECT_EQ(hookReferences(entries.data(), entries.size(), count, hookTarget()),
              std::vector<uint16_t>({hook, again}));
    // A pool that does not parse, or not to its end, names nothing.
    EXPECT_TRUE(hookReferences(entries.data(), entries.size() - 1, count, hookTarget()).empty());
    Bytes longer = entries;
    longer.push_back(1);
    EXPECT_TRUE(hookReferences(longer.data(), longer.size(), count, hookTarget()).empty());

    uint16_t index = 0;
    Bytes call = {0x2a, 0xb3, 0x01, 0x02, 0, 0, 0, 0, 0xb1};
    EXPECT_TRUE(beginsWithHookCall(call.data(), call.size(), index));
    EXPECT_EQ(index, 0x0102);
    // Someone else's method beginning `aload_0; putstatic`, with anything
    // but the padding after it, or cut short; or calling a method there.
    Bytes other = {0x2a, 0xb3, 0x01, 0x02, 0, 0xb1, 0, 0};
    Bytes invoking = {0x2a, 0xb8, 0x01, 0x02, 0, 0, 0, 0, 0xb1};
    EXPECT_FALSE(beginsWithHookCall(invoking.data(), invoking.size(), index));
    EXPECT_FALSE(beginsWithHookCall(other.data(), other.size(), index));
    EXPECT_FALSE(beginsWithHookCall(call.data(), 7, index));
}

}  // namespace

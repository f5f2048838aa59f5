#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "instrument/ClassFileHook.h"
#include "instrument/HookField.h"
#include "instrument/HookReferences.h"
#include "output/Legends.h"
#include "tests/ClassFiles.h"
#include "tests/TestSupport.h"
#include "tracing/MethodEvents.h"
#include "output/TraceWriter.h"
#include "tracing/MethodRecords.h"

namespace {

// How a rewritten method begins (the hook's Fieldref at pool index 7),
// then `aload_0; areturn`.
const std::vector<unsigned char> kCallsHook{0x2a, 0xb3, 0x00, 0x07, 0, 0, 0, 0, 0x2a, 0xb0};

// Method events of methods whose class went through the rewrite, with the
// stores to the hook field made as the rewritten code makes them. Each case
// runs on a thread of its own: the agent keeps each thread's frames.
class HookCallTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        state->records->enable();
        state->ownLock = true;
        state->rewriteClasses = true;
        onVmInit(vm.jvmti(), vm.jni(), nullptr);
        ASSERT_TRUE(classRewritingActive());
        job = vm.klass("Lapp/Job;");
        givePool(job, true);
        run = vm.method(job, "run", "()V");
        vm.setBytecode(run, kCallsHook);
        helper = vm.method(job, "helper", "()V");
    }
    void TearDown() override {
        resetClassRewriting();
        forgetHookReferences(vm.jni());
        AgentTest::TearDown();
    }

    // The class's constant pool as GetConstantPool gives it, with the hook's
    // Fieldref at index 7, or another field's there.
    void givePool(jclass cls, bool namesHook) {
        ClassFileBuilder builder("app/Pool");
        builder.integer(1);
        uint16_t ref = namesHook
                           ? builder.fieldref(kHookClassName, kHookFieldName, kHookFieldDescriptor)
                           : builder.fieldref("app/Probe", kHookFieldName, kHookFieldDescriptor);
        ASSERT_EQ(ref, 7);
        Bytes file = builder.bytes();
        vm.setConstantPool(cls, readU2(file, 8), Bytes(file.begin() + 10, file.end() - 14));
    }
    // Hands `bytes` to the load hook as the VM does when it loads `name`
    // (or redefines `redefined`); true when it changed them.
    bool passLoadHook(const char* name, const Bytes& bytes, jclass redefined = nullptr) {
        unsigned char* changed = nullptr;
        jint changedLength = 0;
        onClassFileLoadHook(vm.jvmti(), vm.jni(), redefined, nullptr, name, nullptr,
                            static_cast<jint>(bytes.size()), bytes.data(), &changedLength,
                            &changed);
        if (changed == nullptr) return false;
        vm.jvmti()->Deallocate(changed);
        return true;
    }
    // The VM's report of a store of `value` to the hook field on `thread`,
    // by `method` standing at `at`.
    void store(jthread thread, jmethodID method, jobject value, jlocation at = 1) {
        FakeJvm::setCurrentThread(thread);
        jvalue stored;
        stored.l = value;
        onHookStore(vm.jvmti(), vm.jni(), thread, method, at, nullptr, nullptr, nullptr, 'L', stored);
    }
    std::string legendsAndTrace() {
        writeLegends();
        return "trace:\n" + traceText() + "methods:\n" + readFile(dir.file("MethodLegend.txt")) +
               "objects:\n" + readFile(dir.file("ObjectLegend.txt"));
    }
    int fetches() const { return vm.calls(Call::GetLocalObject); }
    template <typename Body>
    static void onOwnThread(Body body) {
        std::thread worker(body);
        worker.join();
    }

    jclass job = nullptr;
    jmethodID run = nullptr;
    jmethodID helper = nullptr;
};

TEST_F(HookCallTest, HookCompletesTheWaitingEntryWithoutAnyFetch) {
    jobject receiver = vm.object(job);
    jthread thread = vm.thread(receiver);
    onOwnThread([&] {
        for (int i = 0; i < 3; ++i) {
            enter(thread, run);
            EXPECT_EQ(traceDepth(), 0) << "written before the hook's call";
            store(thread, run, receiver);
            EXPECT_EQ(traceDepth(), 1);
            EXPECT_EQ(vm.tagOf(receiver), 1);
            leave(thread, run);
        }
    });
    EXPECT_EQ(fetches(), 0);
    EXPECT_EQ(vm.outstandingTexts(), 0);
    // What the fetching road writes for the same calls.
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;run()V\n -Lapp/Job;run()V\n"
              " Lapp/Job;run()V\n -Lapp/Job;run()V\n"
              " Lapp/Job;run()V\n -Lapp/Job;run()V\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n");
}

// A static method taken as an instance method (a long parameter) hands its
// first parameter over behind a null test, and nothing is fetched; after a
// null no store comes, and the null is read from the frame at the next event
// and at the exit, as every such call's was before.
TEST_F(HookCallTest, StaticMethodsTakenAsInstanceHandOverTheirFirstParameter) {
    state->filters.append("Ljava/");
    jmethodID put = vm.method(job, "put", "(Ljava/lang/Object;J)V", MethodKind::Static);
    // aload_0; ifnull +11; aload_0; putstatic #7; nop x4; return
    vm.setBytecode(put, {0x2a, 0xc6, 0x00, 0x0b, 0x2a, 0xb3, 0x00, 0x07, 0, 0, 0, 0, 0xb1});
    jobject key = vm.object(job);
    jthread thread = vm.thread(key);
    onOwnThread([&] {
        enter(thread, put);
        EXPECT_EQ(traceDepth(), 0);
        store(thread, put, key, 1);
        EXPECT_EQ(traceDepth(), 0) << "not where its store stands";
        store(thread, put, key, 5);
        EXPECT_EQ(traceDepth(), 1);
        leave(thread, put);
        // A null, then a store from elsewhere in the method: no receiver's.
        vm.setReceiver(thread, nullptr);
        enter(thread, put);
        store(thread, put, key, 20);
        leave(thread, put);
    });
    EXPECT_EQ(fetches(), 2);
    EXPECT_EQ(vm.tagOf(key), 1);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;put(Ljava/lang/Object;J)V\n -Lapp/Job;put(Ljava/lang/Object;J)V\n"
              " Lapp/Job;put(Ljava/lang/Object;J)V\n -Lapp/Job;put(Ljava/lang/Object;J)V\n"
              "methods:\n"
              "1 == put:<(Ljava/lang/Object;J)V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n");
}

TEST_F(HookCallTest, NestedAndRecursiveCallsPairWithTheirOwnReceivers) {
    jobject outer = vm.object(job);
    jobject inner = vm.object(job);
    jthread thread = vm.thread(outer);
    onOwnThread([&] {
        enter(thread, run);
        store(thread, run, outer);
        enter(thread, run);  // recursion on another receiver
        store(thread, run, inner);
        vm.setReceiver(thread, inner);
        enter(thread, helper);  // not rewritten: fetched from its frame
        leave(thread, helper);
        leave(thread, run);
        vm.setReceiver(thread, outer);
        leave(thread, run);
    });
    EXPECT_EQ(fetches(), 1);
    EXPECT_EQ(traceDepth(), 0);
    EXPECT_EQ(vm.tagOf(outer), 1);
    EXPECT_EQ(vm.tagOf(inner), 2);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;run()V\n"
              "  Lapp/Job;run()V\n"
              "   Lapp/Job;helper()V\n"
              "   -Lapp/Job;helper()V\n"
              "  -Lapp/Job;run()V\n"
              " -Lapp/Job;run()V\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "2 == helper:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n2 == Lapp/Job;\n");
}

TEST_F(HookCallTest, EntryWhoseHookNeverRanIsWrittenByAFetchBeforeTheNextEvent) {
    jclass other = vm.klass("Lapp/Other;");
    jobject waiting = vm.object(job);
    jobject second = vm.object(job);
    jobject called = vm.object(other);
    jmethodID work = vm.method(other, "work", "()V");
    jthread thread = vm.thread(called);
    onOwnThread([&] {
        // An exception before the hook's call: the exit comes first, and the
        // entry is fetched from the frame that is leaving.
        vm.setReceiver(thread, waiting);
        enter(thread, run);
        leave(thread, run);
        EXPECT_EQ(fetches(), 1);
        // A call from further on in the method (the hook's call did not come
        // first): the entry is fetched from the caller's frame, first.
        vm.setReceiver(thread, second);
        enter(thread, run);
        vm.setReceiver(thread, called);
        vm.setCaller(thread, run, 9, second);
        enter(thread, work);
        leave(thread, work);
        vm.setReceiver(thread, second);
        leave(thread, run);
    });
    EXPECT_EQ(vm.tagOf(waiting), 1);
    EXPECT_EQ(vm.tagOf(second), 2);
    EXPECT_EQ(vm.tagOf(called), 3);
    // The first call's entry; the second's entry, then work's (its exit
    // reuses); the second run's exit reuses its entry's.
    EXPECT_EQ(fetches(), 3);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;run()V\n"
              " -Lapp/Job;run()V\n"
              " Lapp/Job;run()V\n"
              "  Lapp/Other;work()V\n"
              "  -Lapp/Other;work()V\n"
              " -Lapp/Job;run()V\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "2 == work:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n2 == Lapp/Job;\n3 == Lapp/Other;\n");
}

TEST_F(HookCallTest, EventsOfTheVmResolvingTheHookAreDropped) {
    jclass loaderClass = vm.klass("Ljava/lang/ClassLoader;");
    jmethodID loadClassMethod =
        vm.method(loaderClass, "loadClass", "(Ljava/lang/String;)Ljava/lang/Class;");
    jmethodID lock = vm.method(loaderClass, "getClassLoadingLock", "(Ljava/lang/String;)Ljava/lang/Object;");
    jobject receiver = vm.object(job);
    jobject loader = vm.object(loaderClass);
    jthread thread = vm.thread(loader);
    onOwnThread([&] {
        enter(thread, run);
        int asked = vm.calls(Call::GetMethodName);
        // The waiting method stands at its hook call while the loader runs.
        vm.setCaller(thread, run, 1);
        enter(thread, loadClassMethod);
        vm.setCaller(thread, loadClassMethod, 4);
        enter(thread, lock);
        leave(thread, lock);
        enter(thread, lock);
        leave(thread, lock);
        leave(thread, loadClassMethod);
        // Only the first was looked at, for its name, and nothing was kept.
        EXPECT_EQ(vm.calls(Call::GetMethodName), asked + 1);
        EXPECT_EQ(vm.outstandingTexts(), 0);
        store(thread, run, receiver);
        leave(thread, run);
        // Later calls of the loader's methods are the program's own.
        vm.setCaller(thread, nullptr, -1);
        enter(thread, loadClassMethod);
        leave(thread, loadClassMethod);
    });
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;run()V\n"
              " -Lapp/Job;run()V\n"
              " Ljava/lang/ClassLoader;loadClass(Ljava/lang/String;)Ljava/lang/Class;\n"
              " -Ljava/lang/ClassLoader;loadClass(Ljava/lang/String;)Ljava/lang/Class;\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "2 == loadClass:<(Ljava/lang/String;)Ljava/lang/Class;>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n2 == Ljava/lang/ClassLoader;\n");
}

TEST_F(HookCallTest, OtherCallsFromTheHooksPlaceAreThePrograms) {
    // Someone else's code at the same place (another agent's probe, say):
    // only a class loader's calls are taken for the hook's resolution.
    jclass probeClass = vm.klass("Lapp/Probe;");
    jmethodID probe = vm.method(probeClass, "enter", "(Ljava/lang/Object;)V", MethodKind::Static);
    jobject receiver = vm.object(job);
    jthread thread = vm.thread(receiver);
    onOwnThread([&] {
        enter(thread, run);
        vm.setCaller(thread, run, 1, receiver);
        enter(thread, probe);
        leave(thread, probe);
        leave(thread, run);
    });
    EXPECT_EQ(fetches(), 1);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;run()V\n"
              "  Lapp/Probe;enter(Ljava/lang/Object;)V\n"
              "  -Lapp/Probe;enter(Ljava/lang/Object;)V\n"
              " -Lapp/Job;run()V\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "2 == enter:<(Ljava/lang/Object;)V>:<(null)>||Lapp/Probe;\n"
              "objects:\n"
              "1 == Lapp/Job;\n");
}

TEST_F(HookCallTest, RedefinedClassesNoLongerWaitForTheHook) {
    jobject receiver = vm.object(job);
    jthread thread = vm.thread(receiver);
    onOwnThread([&] {
        enter(thread, run);
        store(thread, run, receiver);
        leave(thread, run);
    });
    EXPECT_EQ(fetches(), 0);
    // Another agent redefines the class with bytes of its own, which begin
    // as the rewritten ones did, their pool naming another method there.
    ClassFileBuilder builder("app/Job");
    EXPECT_FALSE(passLoadHook("app/Job", builder.bytes(), job))
        << "a redefinition keeps the bytes it is given";
    givePool(job, false);
    EXPECT_EQ(state->records->size(), 0u);
    jclass probeClass = vm.klass("Lapp/Probe;");
    jmethodID probe = vm.method(probeClass, "enter", "(Ljava/lang/Object;)V", MethodKind::Static);
    onOwnThread([&] {
        enter(thread, run);
        EXPECT_EQ(fetches(), 1) << "fetched at once";
        vm.setCaller(thread, run, 1, receiver);
        enter(thread, probe);
        leave(thread, probe);
        leave(thread, run);
    });
    EXPECT_EQ(lines(traceText()).size(), 6u);
}

// Stores to the hook field that no entry waits for (the agent's rewrite
// makes none, but the field is public) change nothing.
TEST_F(HookCallTest, StoresNoEntryWaitsForTellNothing) {
    jobject receiver = vm.object(job);
    jobject other = vm.object(job);
    jthread thread = vm.thread(receiver);
    onOwnThread([&] {
        store(thread, run, other);
        // The waiting method left before its first instruction ran: its
        // entry was fetched, and a later store tells nothing.
        enter(thread, run);
        leave(thread, run);
        store(thread, run, other);
        // Another method's store while run waits, then run's own; then
        // run's again, its entry written.
        enter(thread, run);
        store(thread, helper, other);
        store(thread, run, receiver);
        store(thread, run, other);
        leave(thread, run);
    });
    EXPECT_EQ(fetches(), 1);
    EXPECT_EQ(vm.tagOf(other), 0);
    EXPECT_EQ(traceDepth(), 0);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;run()V\n"
              " -Lapp/Job;run()V\n"
              " Lapp/Job;run()V\n"
              " -Lapp/Job;run()V\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n");
}

// Whether a method's first call is the hook is read from its own class's
// pool: two classes of one name (two loaders) beginning with the same
// instructions, only one of them naming the hook there. A class unloaded
// since is no longer kept.
TEST_F(HookCallTest, OnlyMethodsWhoseClassNamesTheHookThereWaitForIt) {
    jclass plugin = vm.klass("Lapp/Job;");
    givePool(plugin, false);
    jmethodID pluginRun = vm.method(plugin, "run", "()V");
    vm.setBytecode(pluginRun, kCallsHook);
    jmethodID jobGet = vm.method(job, "get", "()V");
    vm.setBytecode(jobGet, kCallsHook);
    jobject receiver = vm.object(job);
    jobject other = vm.object(plugin);
    jthread thread = vm.thread(receiver);
    onOwnThread([&] {
        enter(thread, run);
        store(thread, run, receiver);
        leave(thread, run);
        vm.setReceiver(thread, other);
        enter(thread, pluginRun);
        EXPECT_EQ(fetches(), 1) << "fetched at once, as any method";
        leave(thread, pluginRun);
        vm.setReceiver(thread, receiver);
        enter(thread, jobGet);
        store(thread, jobGet, receiver);
        leave(thread, jobGet);
    });
    EXPECT_EQ(fetches(), 1);
    EXPECT_EQ(vm.calls(Call::GetConstantPool), 2) << "one pool read per class";
    EXPECT_EQ(vm.liveWeakReferences, 2);
    vm.classOf(plugin).unloaded = true;
    jclass again = vm.klass("Lapp/Job;");
    givePool(again, true);
    jmethodID againRun = vm.method(again, "run", "()V");
    vm.setBytecode(againRun, kCallsHook);
    onOwnThread([&] {
        enter(thread, againRun);
        store(thread, againRun, receiver);
        leave(thread, againRun);
    });
    EXPECT_EQ(fetches(), 1);
    EXPECT_EQ(vm.liveWeakReferences, 2) << "the unloaded class is still held";
    EXPECT_EQ(traceDepth(), 0);
    EXPECT_EQ(lines(traceText()).size(), 8u);
}

TEST_F(HookCallTest, ThreadsWaitForTheirOwnHookCalls) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        jobject receiver = vm.object(job);
        jthread thread = vm.thread(receiver);
        workers.emplace_back([this, thread, receiver] {
            for (int i = 0; i < kCalls; ++i) {
                enter(thread, run);
                store(thread, run, receiver);
                enter(thread, helper);
                leave(thread, helper);
                leave(thread, run);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    // Only the helper's entries fetch.
    EXPECT_EQ(fetches(), kThreads * kCalls);
    CallCounts counts = countCalls(traceText());
    std::map<std::string, int>& entries = counts.entries;
    std::map<std::string, int>& exits = counts.exits;
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& entry : entries) {
        EXPECT_EQ(entry.second, kThreads * kCalls) << entry.first;
        EXPECT_EQ(exits[entry.first], kThreads * kCalls) << entry.first;
    }
    EXPECT_EQ(state->nextObjectId, kThreads + 1);
    EXPECT_EQ(traceDepth(), 0);
}

}  // namespace

// Constructors of rewritten classes: `Leaf() { super(); }` over
// `Base() { super(); }` over java.lang.Object's, each calling the hook
// behind its super call, the object made by `new Leaf` in Job.make.
class ConstructorCallTest : public HookCallTest {
protected:
    void SetUp() override {
        HookCallTest::SetUp();
        base = vm.klass("Lapp/Base;");
        leaf = vm.klass("Lapp/Leaf;");
        part = vm.klass("Lapp/Part;");
        for (jclass cls : {base, leaf, part}) givePool(cls, true);
        baseInit = constructor(base);
        leafInit = constructor(leaf);
        partInit = constructor(part);
        objectInit = vm.method(vm.klass("Ljava/lang/Object;"), "<init>", "()V");
        make = vm.method(job, "make", "()Ljava/lang/Object;");
        vm.setBytecode(make, kCallsHook);
    }
    // aload_0; invokespecial #1; aload_0; putstatic #7 (the hook field);
    // nop x4; return: the hook's store stands at 5, the super call at 1.
    jmethodID constructor(jclass cls) {
        jmethodID init = vm.method(cls, "<init>", "()V");
        vm.setBytecode(init, {0x2a, 0xb7, 0x00, 0x01, 0x2a, 0xb3, 0x00, 0x07, 0, 0, 0, 0, 0xb1});
        return init;
    }
    // The constructor `init` on `object`, called from `caller` standing at
    // `at` (on `callerObject`), down to Object's; `inside` runs after the
    // super call returned, before the hook's call.
    void construct(jthread thread, jmethodID init, jobject object, jmethodID caller, jlocation at,
                   jobject callerObject) {
        vm.setReceiver(thread, object);
        vm.setCaller(thread, caller, at, callerObject);
        enter(thread, init);
        if (init == leafInit) {
            construct(thread, baseInit, object, leafInit, 1, object);
        } else {
            vm.setReceiver(thread, object);
            vm.setCaller(thread, init, 1, object);
            enter(thread, objectInit);
            leave(thread, objectInit);
        }
        handOverAndLeave(thread, init, object);
    }
    // The constructor `init`, its super call returned, hands `object` over
    // to the hook and leaves.
    void handOverAndLeave(jthread thread, jmethodID init, jobject object) {
        vm.setCaller(thread, init, 5, object);
        store(thread, init, object, 5);
        vm.setReceiver(thread, object);
        leave(thread, init);
    }

    jclass base = nullptr, leaf = nullptr, part = nullptr;
    jmethodID baseInit = nullptr, leafInit = nullptr, partInit = nullptr, objectInit = nullptr;
    jmethodID make = nullptr;
};

TEST_F(ConstructorCallTest, ConstructorsMadeByNewTakeTheirTagAtEntryWithoutAnyFetch) {
    state->filters.append("Ljava/");
    jobject maker = vm.object(job);
    jobject first = vm.object(leaf);
    jobject second = vm.object(base);
    jthread thread = vm.thread(maker);
    onOwnThread([&] {
        enter(thread, make);
        store(thread, make, maker);
        construct(thread, leafInit, first, make, 12, maker);
        EXPECT_EQ(vm.tagOf(first), 2);
        construct(thread, baseInit, second, make, 20, maker);
        vm.setReceiver(thread, maker);
        leave(thread, make);
    });
    EXPECT_EQ(fetches(), 0);
    EXPECT_EQ(vm.tagOf(second), 3);
    EXPECT_EQ(vm.outstandingTexts(), 0);
    // What the fetching road writes for the same calls.
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;make()Ljava/lang/Object;\n"
              "  Lapp/Leaf;<init>()V\n"
              "   Lapp/Base;<init>()V\n"
              "   -Lapp/Base;<init>()V\n"
              "  -Lapp/Leaf;<init>()V\n"
              "  Lapp/Base;<init>()V\n"
              "  -Lapp/Base;<init>()V\n"
              " -Lapp/Job;make()Ljava/lang/Object;\n"
              "methods:\n"
              "1 == make:<()Ljava/lang/Object;>:<(null)>\n"
              "2 == <init>:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n2 == Lapp/Leaf;\n3 == Lapp/Base;\n");
}

// Where tagging takes identity hashes, an object whose constructor calls
// something before its super call is tagged before anything on its thread
// may take a hash (a native, the agent tagging another object), read from
// its constructor's frame wherever that stands; when nothing does, its own
// hook call tags it and nothing is fetched.
TEST_F(ConstructorCallTest, WhereTagsTakeHashesAWaitingObjectIsTaggedBeforeAnyOtherHash) {
    state->filters.append("Ljava/");
    state->tagsTakeHashes = true;
    jmethodID check = vm.method(vm.klass("Ljava/util/Objects;"), "requireNonNull",
                                "(Ljava/lang/Object;)Ljava/lang/Object;", MethodKind::Static);
    jclass system = vm.klass("Ljava/lang/System;");
    jmethodID hash = vm.method(system, "identityHashCode", "(Ljava/lang/Object;)I", MethodKind::Native);
    jmethodID copy = vm.method(system, "arraycopy", "(Ljava/lang/Object;ILjava/lang/Object;II)V",
                               MethodKind::Native);
    jobject maker = vm.object(job);
    jobject quiet = vm.object(leaf);
    jobject made = vm.object(leaf);
    jobject argument = vm.object(part);
    jobject hashed = vm.object(leaf);
    jthread thread = vm.thread(maker);
    // `new Leaf` in make(), standing at `at`; `before` runs before its super
    // call.
    auto newLeaf = [&](jobject object, jlocation at, const std::function<void()>& before) {
        vm.setReceiver(thread, object);
        vm.setCaller(thread, make, at, maker);
        enter(thread, leafInit);
        vm.setCaller(thread, leafInit, 0, object);
        before();
        construct(thread, baseInit, object, leafInit, 1, object);
        handOverAndLeave(thread, leafInit, object);
    };
    onOwnThread([&] {
        enter(thread, make);
        store(thread, make, maker);
        newLeaf(quiet, 10, [&] {
            enter(thread, check);
            leave(thread, check);
        });
        EXPECT_EQ(vm.tagOf(quiet), 2);
        EXPECT_EQ(fetches(), 0);
        // `super(new Part())`: the Leaf's object is tagged before the
        // Part's, read two frames down.
        newLeaf(made, 20, [&] {
            vm.setReceiver(thread, argument);
            enter(thread, partInit);
            vm.setCaller(thread, partInit, 1, argument);
            enter(thread, objectInit);
            leave(thread, objectInit);
            // The Part's store, its frame over the Leaf's.
            vm.setCaller(thread, leafInit, 0, made);
            store(thread, partInit, argument, 5);
            EXPECT_EQ(vm.tagOf(made), 3);
            EXPECT_EQ(vm.tagOf(argument), 4);
            vm.setReceiver(thread, argument);
            leave(thread, partInit);
        });
        EXPECT_EQ(fetches(), 1);
        // A native called inside a call made before the super call; one
        // known to take no hash (System.arraycopy) first.
        newLeaf(hashed, 30, [&] {
            enter(thread, check);
            vm.setCaller(thread, check, 3);
            vm.setOuterCaller(thread, leafInit, 0, hashed);
            enter(thread, copy);
            leave(thread, copy);
            EXPECT_EQ(vm.tagOf(hashed), 0);
            enter(thread, hash);
            EXPECT_EQ(vm.tagOf(hashed), 5);
            leave(thread, hash);
            leave(thread, check);
        });
        EXPECT_EQ(fetches(), 2);
        vm.setReceiver(thread, maker);
        leave(thread, make);
    });
    EXPECT_EQ(vm.tagOf(quiet), 2);
    EXPECT_EQ(vm.tagOf(hashed), 5);
    EXPECT_EQ(state->nextObjectId, 6);
    EXPECT_EQ(vm.outstandingTexts(), 0);
}

// Whatever is not plainly a constructor called on `new` by rewritten code,
// or its super call, is fetched as before; an object whose constructor left
// without its hook's call is tagged as it leaves, unless by an exception.
TEST_F(ConstructorCallTest, OtherCallersAndMissingHookCallsFallBackToTheFrame) {
    state->filters.append("Ljava/");
    jclass accessorClass = vm.klass("Ljdk/internal/reflect/Accessor;");
    jmethodID newInstance = vm.method(accessorClass, "newInstance", "()Ljava/lang/Object;");
    jobject maker = vm.object(job);
    jobject reflected = vm.object(leaf);
    jobject unhooked = vm.object(base);
    jobject thrown = vm.object(base);
    jthread thread = vm.thread(maker);
    onOwnThread([&] {
        // Reflection: the caller is no rewritten method.
        construct(thread, leafInit, reflected, newInstance, 3, nullptr);
        EXPECT_EQ(vm.tagOf(reflected), 1);
        enter(thread, make);
        store(thread, make, maker);
        // The hook's call never comes: tagged as the constructor leaves.
        vm.setReceiver(thread, unhooked);
        vm.setCaller(thread, make, 12, maker);
        enter(thread, baseInit);
        leave(thread, baseInit);
        EXPECT_EQ(vm.tagOf(unhooked), 3);
        // Thrown out before its super call: its tag stays unused.
        vm.setReceiver(thread, thrown);
        enter(thread, baseInit);
        leave(thread, baseInit, /*byException=*/true);
        EXPECT_EQ(vm.tagOf(thrown), 0);
        vm.setReceiver(thread, maker);
        leave(thread, make);
    });
    // The reflected object's entry; the unhooked object as it leaves.
    EXPECT_EQ(fetches(), 2);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Leaf;<init>()V\n"
              "  Lapp/Base;<init>()V\n"
              "  -Lapp/Base;<init>()V\n"
              " -Lapp/Leaf;<init>()V\n"
              " Lapp/Job;make()Ljava/lang/Object;\n"
              "  Lapp/Base;<init>()V\n"
              "  -Lapp/Base;<init>()V\n"
              "  Lapp/Base;<init>()V\n"
              "  -Lapp/Base;<init>()V\n"
              " -Lapp/Job;make()Ljava/lang/Object;\n"
              "methods:\n"
              "1 == <init>:<()V>:<(null)>\n"
              "2 == make:<()Ljava/lang/Object;>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Leaf;\n2 == Lapp/Job;\n3 == Lapp/Base;\n4 == Lapp/Base;\n");
}

// A rewritten constructor whose super constructor is filtered: one that can
// hand the object to no other code is followed down its chain with no fetch;
// one that could is preceded by a fetch that tags the object. Either way the
// files are those of the fetching road.
TEST_F(ConstructorCallTest, FilteredSuperConstructorsAreFollowedOrTagTheObjectFirst) {
    state->filters.append("Ljava/");
    jclass quietClass = vm.klass("Ljava/util/AbstractThing;");
    jclass busyClass = vm.klass("Ljava/util/BusyThing;");
    jmethodID quietInit = vm.method(quietClass, "<init>", "()V");
    vm.setBytecode(quietInit, {0x2a, 0xb7, 0x00, 0x01, 0xb1});
    jmethodID busyInit = vm.method(busyClass, "<init>", "()V");
    vm.setBytecode(busyInit, {0x2a, 0xb7, 0x00, 0x01, 0x2a, 0xb6, 0x00, 0x04, 0xb1});
    jobject maker = vm.object(job);
    jthread thread = vm.thread(maker);
    std::vector<jobject> made;
    onOwnThread([&] {
        enter(thread, make);
        store(thread, make, maker);
        for (jmethodID superInit : {quietInit, busyInit}) {
            jobject object = vm.object(leaf);
            made.push_back(object);
            vm.setReceiver(thread, object);
            vm.setCaller(thread, make, 12, maker);
            enter(thread, leafInit);
            // The filtered super constructor, then java.lang.Object's below it.
            vm.setCaller(thread, leafInit, 1, object);
            enter(thread, superInit);
            vm.setCaller(thread, superInit, 1, object);
            enter(thread, objectInit);
            leave(thread, objectInit);
            leave(thread, superInit);
            handOverAndLeave(thread, leafInit, object);
        }
        vm.setReceiver(thread, maker);
        leave(thread, make);
    });
    EXPECT_EQ(fetches(), 1) << "only before the super constructor that could hand the object on";
    EXPECT_EQ(vm.tagOf(made[0]), 2);
    EXPECT_EQ(vm.tagOf(made[1]), 3);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;make()Ljava/lang/Object;\n"
              "  Lapp/Leaf;<init>()V\n"
              "  -Lapp/Leaf;<init>()V\n"
              "  Lapp/Leaf;<init>()V\n"
              "  -Lapp/Leaf;<init>()V\n"
              " -Lapp/Job;make()Ljava/lang/Object;\n"
              "methods:\n"
              "1 == make:<()Ljava/lang/Object;>:<(null)>\n"
              "2 == <init>:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n2 == Lapp/Leaf;\n3 == Lapp/Leaf;\n");
}

// A constructor that no rewritten code calls on `new` (reflection, a method
// handle, JNI) waits for its hook's call behind the super call, through
// java.lang.Object's filtered constructor, and writes what a fetch at its
// entry would have; anything else that comes first ends the wait with a
// fetch, and a store to the hook field from elsewhere is no hook call.
TEST_F(ConstructorCallTest, ConstructorsNoRewrittenCodeCallsWaitForTheirHookCall) {
    state->filters.append("Ljava/");
    jmethodID newInstance =
        vm.method(vm.klass("Lapp/Accessor;"), "newInstance", "()Ljava/lang/Object;");
    jmethodID registerFinalizer = vm.method(vm.klass("Ljava/lang/ref/Finalizer;"), "register",
                                            "(Ljava/lang/Object;)V", MethodKind::Static);
    jobject plain = vm.object(base);
    jobject finalizable = vm.object(base);
    jobject locking = vm.object(base);
    jthread thread = vm.thread();
    onOwnThread([&] {
        construct(thread, baseInit, plain, newInstance, 3, nullptr);
        EXPECT_EQ(fetches(), 0);
        EXPECT_EQ(vm.tagOf(plain), 1);

        // Object's constructor registers a finalizer: read from two frames down.
        vm.setReceiver(thread, finalizable);
        vm.setCaller(thread, newInstance, 3, nullptr);
        enter(thread, baseInit);
        vm.setCaller(thread, baseInit, 1, finalizable);
        enter(thread, objectInit);
        vm.setCaller(thread, objectInit, 0, nullptr);
        vm.setOuterCaller(thread, baseInit, 1, finalizable);
        enter(thread, registerFinalizer);
        EXPECT_EQ(fetches(), 1);
        EXPECT_EQ(vm.tagOf(finalizable), 2);
        leave(thread, registerFinalizer);
        leave(thread, objectInit);
        handOverAndLeave(thread, baseInit, finalizable);

        // A store from before its super call.
        vm.setReceiver(thread, locking);
        vm.setCaller(thread, newInstance, 3, nullptr);
        enter(thread, baseInit);
        store(thread, baseInit, locking, 0);
        EXPECT_EQ(vm.tagOf(locking), 0);
        vm.setCaller(thread, baseInit, 1, locking);
        enter(thread, objectInit);
        leave(thread, objectInit);
        handOverAndLeave(thread, baseInit, locking);
    });
    EXPECT_EQ(vm.tagOf(locking), 3);
    EXPECT_EQ(fetches(), 1);
    EXPECT_EQ(vm.outstandingTexts(), 0);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Base;<init>()V\n"
              " -Lapp/Base;<init>()V\n"
              " Lapp/Base;<init>()V\n"
              " -Lapp/Base;<init>()V\n"
              " Lapp/Base;<init>()V\n"
              " -Lapp/Base;<init>()V\n"
              "methods:\n"
              "1 == <init>:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Base;\n2 == Lapp/Base;\n3 == Lapp/Base;\n");
}

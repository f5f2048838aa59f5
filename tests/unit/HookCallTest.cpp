#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "instrument/ClassFileHook.h"
#include "output/Legends.h"
#include "tests/ClassFiles.h"
#include "tests/TestSupport.h"
#include "tracing/MethodEvents.h"
#include "output/TraceWriter.h"
#include "tracing/MethodRecords.h"

namespace {

// aload_0; invokestatic #7; aload_0; areturn: how a rewritten method begins.
const std::vector<unsigned char> kCallsHook{0x2a, 0xb8, 0x00, 0x07, 0x2a, 0xb0};

// Method events of methods whose class went through the rewrite, with the
// hook's calls made as the rewritten code makes them. Each case runs on a
// thread of its own: the agent keeps each thread's frames.
class HookCallTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        state->records->enable();
        state->ownLock = true;
        state->rewriteClasses = true;
        onVmInit(vm.jvmti(), vm.jni(), nullptr);
        ASSERT_TRUE(classRewritingActive());
        ASSERT_EQ(vm.registeredNatives.size(), 1u);
        ASSERT_TRUE(loadClass("app/Job", nullptr));
        job = vm.klass("Lapp/Job;");
        run = vm.method(job, "run", "()V");
        vm.setBytecode(run, kCallsHook);
        helper = vm.method(job, "helper", "()V");
    }
    void TearDown() override {
        resetClassRewriting();
        AgentTest::TearDown();
    }

    // Hands `bytes` to the load hook as the VM does when it loads `name`
    // (or redefines `redefined`); true when it changed them.
    bool passLoadHook(const char* name, jobject loader, const Bytes& bytes,
                      jclass redefined = nullptr) {
        unsigned char* changed = nullptr;
        jint changedLength = 0;
        onClassFileLoadHook(vm.jvmti(), vm.jni(), redefined, loader, name, nullptr,
                            static_cast<jint>(bytes.size()), bytes.data(), &changedLength,
                            &changed);
        if (changed == nullptr) return false;
        vm.jvmti()->Deallocate(changed);
        return true;
    }
    // Loads a class with one eligible method; true when it was rewritten.
    bool loadClass(const char* name, jobject loader) {
        ClassFileBuilder builder(name);
        MethodSpec get;
        get.name = "get";
        get.code.code = {0x2a, 0xb0};
        builder.addMethod(get);
        return passLoadHook(name, loader, builder.bytes());
    }
    // The hook's native as the rewritten code calls it: from `caller`
    // standing at `location` on `thread`.
    void hook(jthread thread, jobject receiver, jmethodID caller, jlocation location = 1) {
        FakeJvm::setCurrentThread(thread);
        vm.setCaller(thread, caller, location);
        auto native = reinterpret_cast<void(JNICALL*)(JNIEnv*, jclass, jobject)>(
            vm.registeredNatives[0].fnPtr);
        native(vm.jni(), nullptr, receiver);
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
            hook(thread, receiver, run);
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

TEST_F(HookCallTest, NestedAndRecursiveCallsPairWithTheirOwnReceivers) {
    jobject outer = vm.object(job);
    jobject inner = vm.object(job);
    jthread thread = vm.thread(outer);
    onOwnThread([&] {
        enter(thread, run);
        hook(thread, outer, run);
        enter(thread, run);  // recursion on another receiver
        hook(thread, inner, run);
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
        hook(thread, receiver, run);
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
        hook(thread, receiver, run);
        leave(thread, run);
    });
    EXPECT_EQ(fetches(), 0);
    // Another agent redefines the class with bytes of its own, which may
    // begin as the rewritten ones did without calling the hook.
    ClassFileBuilder builder("app/Job");
    EXPECT_FALSE(passLoadHook("app/Job", nullptr, builder.bytes(), job))
        << "a redefinition keeps the bytes it is given";
    EXPECT_EQ(state->records->size(), 0u);
    onOwnThread([&] {
        enter(thread, run);
        EXPECT_EQ(fetches(), 1) << "fetched at once";
        leave(thread, run);
    });
    EXPECT_EQ(lines(traceText()).size(), 4u);
}

TEST_F(HookCallTest, HookCallsThatDoNotMatchAWaitingEntryAreIgnored) {
    jobject receiver = vm.object(job);
    jthread thread = vm.thread(receiver);
    onOwnThread([&] {
        // Nothing waits: a stray call of the hook writes nothing.
        hook(thread, receiver, run);
        hook(thread, nullptr, run);
        EXPECT_EQ(traceDepth(), 0);
        enter(thread, run);
        // Called from another method, or from further on in the waiting one.
        hook(thread, receiver, helper);
        hook(thread, receiver, run, 7);
        EXPECT_EQ(traceDepth(), 0);
        // The VM cannot tell who called: the entry still waits.
        vm.failOnce(Call::GetFrameLocation, JVMTI_ERROR_INTERNAL);
        hook(thread, receiver, run);
        EXPECT_EQ(traceDepth(), 0);
        leave(thread, run);  // written by a fetch at its exit
        hook(thread, receiver, run);
    });
    EXPECT_EQ(fetches(), 1);
    EXPECT_EQ(traceDepth(), 0);
    EXPECT_EQ(legendsAndTrace(),
              "trace:\n"
              " Lapp/Job;run()V\n"
              " -Lapp/Job;run()V\n"
              "methods:\n"
              "1 == run:<()V>:<(null)>\n"
              "objects:\n"
              "1 == Lapp/Job;\n");
}

TEST_F(HookCallTest, OnlyClassesTheAgentRewroteWaitForTheHook) {
    // Same name, other loader: a class of one name can be another loader's,
    // not rewritten, beginning with the same instructions.
    jclass appLoaderClass = vm.klass("Ljdk/internal/loader/ClassLoaders$AppClassLoader;");
    jclass ownLoaderClass = vm.klass("Lcom/example/PluginLoader;");
    jobject appLoader = vm.object(appLoaderClass);
    jobject ownLoader = vm.object(ownLoaderClass);
    EXPECT_TRUE(loadClass("app/Lib", appLoader));
    EXPECT_FALSE(loadClass("app/Job", ownLoader));
    jclass lib = vm.klass("Lapp/Lib;");
    vm.setLoader(lib, appLoader);
    jclass plugin = vm.klass("Lapp/Job;");
    vm.setLoader(plugin, ownLoader);
    jmethodID libGet = vm.method(lib, "get", "()V");
    jmethodID pluginRun = vm.method(plugin, "run", "()V");
    vm.setBytecode(libGet, kCallsHook);
    vm.setBytecode(pluginRun, kCallsHook);
    jobject receiver = vm.object(lib);
    jthread thread = vm.thread(receiver);
    onOwnThread([&] {
        enter(thread, libGet);
        EXPECT_EQ(fetches(), 0);
        hook(thread, receiver, libGet);
        leave(thread, libGet);
        EXPECT_EQ(fetches(), 0);
        enter(thread, pluginRun);
        EXPECT_EQ(fetches(), 1) << "fetched at once, as any method";
        leave(thread, pluginRun);
    });
    EXPECT_EQ(traceDepth(), 0);
    EXPECT_EQ(lines(traceText()).size(), 4u);
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
                hook(thread, receiver, run);
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

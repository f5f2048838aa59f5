#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "instrument/ClassFileHook.h"
#include "instrument/ClassRewriter.h"
#include "instrument/HookField.h"
#include "instrument/NamedModules.h"
#include "tests/ClassFiles.h"
#include "tests/TestSupport.h"
#include "tracing/MethodEvents.h"
#include "tracing/MethodRecords.h"

namespace {

jboolean JNICALL otherNative(JNIEnv*, jclass, jobject) { return JNI_FALSE; }

class ClassFileHookTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        state->rewriteClasses = true;
        state->records->enable();
        threadClass = vm.klass("Ljava/lang/Thread;");
    }
    void TearDown() override {
        resetClassRewriting();
        AgentTest::TearDown();
    }

    // The VM binds `method` to `function`; what it binds it to in the end.
    void* bind(jmethodID method, void* function) {
        void* address = function;
        onNativeMethodBind(vm.jvmti(), vm.jni(), nullptr, method, function, &address);
        return address;
    }

    // What the load hook hands back for `bytes` loaded as `name`; empty when
    // the class is left as it came. The VM's copy is released again.
    Bytes load(const char* name, const Bytes& bytes, jclass redefined = nullptr,
               jobject loader = nullptr) {
        unsigned char* changed = nullptr;
        jint changedLength = 0;
        onClassFileLoadHook(vm.jvmti(), vm.jni(), redefined, loader, name, nullptr,
                            static_cast<jint>(bytes.size()), bytes.data(), &changedLength, &changed);
        if (changed == nullptr) return {};
        Bytes out(changed, changed + changedLength);
        vm.jvmti()->Deallocate(changed);
        return out;
    }

    static Bytes jobClass(const char* name = "app/Job") {
        ClassFileBuilder builder(name);
        MethodSpec run;
        run.name = "run";
        run.code.code = {0x2a, 0xb0};
        builder.addMethod(run);
        return builder.bytes();
    }

    jclass threadClass = nullptr;
};

// The hook field's class is defined in the boot loader once the VM is up,
// and initialized (which takes an identity hash) on the agent's own thread
// while the JDK is filtered; its field is watched before anything is
// rewritten. A garbage collection the program asks for finds it cleared.
TEST_F(ClassFileHookTest, TheHookFieldsClassIsDefinedWatchedAndClearedBeforeACollection) {
    state->filters.append("Ljava/");
    EXPECT_FALSE(classRewritingActive());
    onVmInit(vm.jvmti(), vm.jni(), static_cast<jthread>(vm.object(threadClass)));
    EXPECT_TRUE(classRewritingActive());
    ASSERT_EQ(vm.definedClasses.size(), 1u);
    EXPECT_EQ(vm.definedClasses[0].first, kHookClassName);
    EXPECT_EQ(vm.definedClasses[0].second, hookClassFile(hookTarget()));
    ASSERT_EQ(vm.staticFieldLookups.size(), 1u);
    EXPECT_NE(vm.staticFieldLookups[0], std::this_thread::get_id()) << "initialized on the agent's thread";
    ASSERT_EQ(vm.watchedFieldClasses.size(), 1u);
    EXPECT_EQ(vm.classOf(vm.watchedFieldClasses[0]).signature, std::string("L") + kHookClassName + ";");
    for (jvmtiEvent event : {JVMTI_EVENT_FIELD_MODIFICATION, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK}) {
        EXPECT_NE(std::find(vm.eventModes.begin(), vm.eventModes.end(), std::make_pair(JVMTI_ENABLE, event)),
                  vm.eventModes.end());
    }
    EXPECT_TRUE(load(kHookClassName, hookClassFile(hookTarget())).empty());

    jmethodID gc = vm.method(vm.klass("Ljava/lang/Runtime;"), "gc", "()V", MethodKind::Native);
    jthread thread = vm.thread(vm.object(vm.klass("Ljava/lang/Runtime;")));
    enter(thread, gc);
    leave(thread, gc);
    EXPECT_EQ(vm.staticStores, std::vector<jobject>{nullptr});
    EXPECT_EQ(traceText(), "") << "filtered";
}

// With the JDK traced its hashes move anyway: the class is initialized
// here. Without the class, or its watch, nothing is rewritten, and nothing
// is left pending; mode=norewrite defines nothing.
TEST_F(ClassFileHookTest, WithoutTheHookFieldNothingIsRewritten) {
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    EXPECT_TRUE(classRewritingActive());
    EXPECT_EQ(vm.staticFieldLookups, std::vector<std::thread::id>{std::this_thread::get_id()});
    resetClassRewriting();

    vm.failOnce(Call::DefineClass, JVMTI_ERROR_OUT_OF_MEMORY);
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    EXPECT_FALSE(classRewritingActive());
    EXPECT_FALSE(vm.jni()->ExceptionCheck());
    EXPECT_TRUE(load("app/Job", jobClass()).empty());
    vm.failOnce(Call::SetFieldModificationWatch, JVMTI_ERROR_MUST_POSSESS_CAPABILITY);
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    EXPECT_FALSE(classRewritingActive());
    forgetHookReceiver(vm.jni());
    EXPECT_TRUE(vm.staticStores.empty()) << "nothing to clear while nothing is rewritten";

    state->rewriteClasses = false;
    std::size_t defined = vm.definedClasses.size();
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    EXPECT_FALSE(classRewritingActive());
    EXPECT_EQ(vm.definedClasses.size(), defined);
    EXPECT_EQ(vm.calls(Call::GetLoadedClasses), 0);
}

TEST_F(ClassFileHookTest, ClassesOfEveryLoaderAndModuleThatAreNotFilteredAreRewritten) {
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    state->filters.append("Ljava/");
    state->filters.append("Lapp/Skip");

    Bytes job = jobClass();
    RewriteResult expected = rewriteClass(job.data(), job.size(), hookTarget());
    ASSERT_EQ(expected.outcome, ClassOutcome::Rewritten);
    EXPECT_EQ(load("app/Job", job), expected.bytes);
    // Any loader, any module: the hook is in java.lang, which all of them reach.
    jobject ownLoader = vm.object(vm.klass("Lcom/example/PluginLoader;"));
    EXPECT_EQ(load("app/Job", job, nullptr, ownLoader), expected.bytes);
    EXPECT_FALSE(load("com/sun/tools/javac/Main", jobClass("com/sun/tools/javac/Main")).empty());
    EXPECT_FALSE(load("Job", jobClass("Job")).empty());  // default package
    int allocations = vm.calls(Call::Allocate);

    EXPECT_TRUE(load("java/util/Job", jobClass("java/util/Job")).empty());  // filtered
    EXPECT_TRUE(load("app/Skipped", jobClass("app/Skipped")).empty());      // filtered
    EXPECT_TRUE(load(kHookClassName, jobClass(kHookClassName)).empty());    // the hook's own
    // Another agent's redefinitions keep their bytes.
    EXPECT_TRUE(load("app/Job", job, vm.klass("Lapp/Job;")).empty());
    ClassFileBuilder statics("app/Statics");
    MethodSpec helper;
    helper.access = 0x0009;
    helper.name = "helper";
    helper.code.code = {0xb1};
    statics.addMethod(helper);
    EXPECT_TRUE(load("app/Statics", statics.bytes()).empty());
    EXPECT_TRUE(load("app/Bad", {0xca, 0xfe, 0xba, 0xbe, 0, 0}).empty());
    EXPECT_EQ(vm.calls(Call::Allocate), allocations);
    EXPECT_EQ(vm.outstandingTexts(), 0);
}

TEST_F(ClassFileHookTest, AnyFailureOnTheWayLeavesTheClassAsItCame) {
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    Bytes job = jobClass();
    vm.failOnce(Call::Allocate, JVMTI_ERROR_OUT_OF_MEMORY);
    EXPECT_TRUE(load("app/Job", job).empty());
    EXPECT_FALSE(load("app/Job", job).empty());
    // Once the agent is no longer live nothing is rewritten.
    setAgentLive(false);
    EXPECT_TRUE(load("app/Job", job).empty());
    setAgentLive(true);
    EXPECT_EQ(vm.outstandingTexts(), 0);
    EXPECT_EQ(vm.monitorDepth(state->monitor), 0);
}

// Classes loaded while the VM started are rewritten once it is up, through
// the VM's retransformation; one the VM refuses keeps its bytes and is
// reported, and any redefinition by another agent after that keeps its own.
TEST_F(ClassFileHookTest, ClassesLoadedBeforeTheVmWasUpAreRetransformed) {
    state->retransformClasses = true;
    state->filters.append("Ljava/util/");
    vm.setErrorName(JVMTI_ERROR_UNMODIFIABLE_CLASS, "JVMTI_ERROR_UNMODIFIABLE_CLASS");
    std::vector<jclass> early;
    for (const char* name : {"app/Early", "app/Refused", "app/Second"}) {
        jclass cls = vm.klass(std::string("L") + name + ";");
        vm.classOf(cls).classFile = jobClass(name);
        early.push_back(cls);
    }
    vm.classOf(early[1]).refusesRetransform = true;
    jclass filtered = vm.klass("Ljava/util/List;");
    jclass fixed = vm.klass("Lapp/Fixed;");
    vm.classOf(fixed).modifiable = false;
    jclass hookClass = vm.klass(std::string("L") + kHookClassName + ";");
    vm.loadedClasses = {early[0], filtered, vm.klass("[I"), early[1], hookClass, fixed, early[2]};
    for (jclass cls : vm.loadedClasses) {
        if (vm.classOf(cls).classFile.empty()) vm.classOf(cls).classFile = jobClass("app/Unused");
    }
    // A method met while the VM started, judged by its old bytecode.
    jmethodID run = vm.method(early[0], "run", "()V");
    jthread thread = vm.thread(vm.object(early[0]));
    enter(thread, run);
    leave(thread, run);
    ASSERT_EQ(state->records->size(), 1u);

    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    ASSERT_TRUE(classRewritingActive());
    // One batch of the three wanted, refused; then each on its own.
    ASSERT_EQ(vm.retransformBatches.size(), 4u);
    EXPECT_EQ(vm.retransformBatches[0], early);
    for (std::size_t i = 0; i < early.size(); ++i) {
        EXPECT_EQ(vm.retransformBatches[i + 1], std::vector<jclass>{early[i]});
    }
    for (std::size_t i = 0; i < early.size(); ++i) {
        std::string name = vm.classOf(early[i]).signature;
        Bytes original = jobClass(name.substr(1, name.size() - 2).c_str());
        RewriteResult expected = rewriteClass(original.data(), original.size(), hookTarget());
        EXPECT_EQ(vm.classOf(early[i]).classFile, i == 1 ? original : expected.bytes) << name;
    }
    EXPECT_EQ(vm.classOf(filtered).classFile, jobClass("app/Unused"));
    EXPECT_EQ(errorLogText(),
              "[ERROR] JVMTI: 79 (JVMTI_ERROR_UNMODIFIABLE_CLASS): Cannot rewrite a class loaded "
              "before the VM started.\n");
    EXPECT_EQ(state->records->size(), 0u) << "records of the old bytecode kept";

    // Another agent redefines a class after that: its bytes stay its own.
    Bytes theirs = jobClass("app/Early");
    EXPECT_TRUE(load("app/Early", theirs, early[0]).empty());
    EXPECT_EQ(vm.outstandingTexts(), 0);
}

// A named module's classes are rewritten once the VM's own code for its
// first rewritten class has run on the agent's thread, which the loading
// thread waits for; a module whose preparation failed, or any named module
// when the thread could not be had, keeps its classes (unless the JDK is
// traced), and unnamed modules never wait for any of it.
TEST_F(ClassFileHookTest, NamedModulesAreRewrittenOnceTheVmsCodeForThemRanOnTheAgentsThread) {
    state->filters.append("Ljava/");
    jobject tool = vm.module("app.tool");
    jobject late = vm.module("late.plugin");
    vm.packageModules = {{"app/tool", tool}, {"late/plugin", late}};
    jclass modulesClass = vm.klass(vm.moduleHelperClass);
    vm.loadedClasses = {threadClass, modulesClass};
    // VMInit's thread, whose class makes the agent's thread.
    auto main = static_cast<jthread>(vm.object(threadClass));
    Bytes toolClass = jobClass("app/tool/Job");
    Bytes lateClass = jobClass("late/plugin/Job");

    onVmInit(vm.jvmti(), vm.jni(), main);
    ASSERT_TRUE(classRewritingActive());
    EXPECT_EQ(vm.agentThreadsRun, 1);
    EXPECT_FALSE(load("app/Job", jobClass()).empty());
    EXPECT_TRUE(vm.transformedByAgent.empty()) << "an unnamed module's class prepared a module";
    EXPECT_FALSE(load("app/tool/Job", toolClass).empty());
    EXPECT_FALSE(load("app/tool/Job", toolClass).empty());
    EXPECT_FALSE(load("late/plugin/Job", lateClass).empty());
    EXPECT_EQ(vm.transformedByAgent, (std::vector<jobject>{tool, late}));
    EXPECT_EQ(vm.outstandingTexts(), 0);

    // Whatever stops the preparation, the named modules keep their classes.
    auto prepareAgain = [&]() {
        resetClassRewriting();
            vm.transformedByAgent.clear();
        onVmInit(vm.jvmti(), vm.jni(), main);
        EXPECT_TRUE(classRewritingActive());
        EXPECT_FALSE(load("app/Job", jobClass()).empty());
        return !load("app/tool/Job", toolClass).empty();
    };
    vm.transformedByAgentThrows = true;
    EXPECT_FALSE(prepareAgain()) << "the VM's code threw";
    EXPECT_TRUE(load("app/tool/Job", toolClass).empty());
    EXPECT_EQ(vm.transformedByAgent.size(), 1u) << "a refused module is asked about once";
    vm.transformedByAgentThrows = false;
    vm.failOnce(Call::GetLoadedClasses, JVMTI_ERROR_OUT_OF_MEMORY);
    EXPECT_FALSE(prepareAgain()) << "the helper class could not be looked for";
    // Without the agent's thread the hook field's class cannot be made
    // ready without moving the program's hashes: nothing is rewritten.
    resetClassRewriting();
    vm.failOnce(Call::RunAgentThread, JVMTI_ERROR_OUT_OF_MEMORY);
    onVmInit(vm.jvmti(), vm.jni(), main);
    EXPECT_FALSE(classRewritingActive());
    vm.loadedClasses = {threadClass};
    EXPECT_FALSE(prepareAgain()) << "no module helper class";
    EXPECT_TRUE(vm.transformedByAgent.empty());
    vm.loadedClasses = {threadClass, modulesClass};
    EXPECT_TRUE(prepareAgain());

    // The VM may still run that code on a program thread (a module defined
    // later, the JDK traced): none of its calls are traced, and the
    // program's next call is.
    jmethodID upcall = moduleUpcallMethod.load();
    ASSERT_NE(upcall, nullptr);
    jthread thread = vm.thread();
    jmethodID inner = vm.method(vm.klass("Lorg/modules/Reads;"), "containsKeyPair",
                                "(Ljava/lang/Object;Ljava/lang/Object;)Z");
    jmethodID after = vm.method(vm.klass("Lapp/Job;"), "main", "()V", MethodKind::Static);
    onMethodEntry(vm.jvmti(), vm.jni(), thread, upcall);
    enter(thread, inner);
    leave(thread, inner);
    onMethodExit(vm.jvmti(), vm.jni(), thread, upcall, JNI_FALSE, jvalue{});
    enter(thread, after);
    leave(thread, after);
    EXPECT_EQ(traceText(), " Lapp/Job;main()V\n -Lapp/Job;main()V\n");

    // With the JDK traced, every module's classes are rewritten, no module
    // prepared.
    state->filters.clear();
    int threads = vm.agentThreadsRun;
    EXPECT_TRUE(prepareAgain());
    EXPECT_EQ(vm.agentThreadsRun, threads);
    EXPECT_TRUE(vm.transformedByAgent.empty());
    EXPECT_EQ(vm.outstandingTexts(), 0);
}

}  // namespace

// What the VM's defineClass0 was last handed.
struct Defined {
    int calls = 0;
    jbyteArray array = nullptr;
    jint offset = 0;
    jint length = 0;
    jint flags = 0;
};
Defined defined;
jclass JNICALL vmDefineClass0(JNIEnv*, jclass, jobject, jclass, jstring, jbyteArray array,
                              jint offset, jint length, jobject, jboolean, jint flags, jobject) {
    defined = Defined{defined.calls + 1, array, offset, length, flags};
    return reinterpret_cast<jclass>(&defined);
}

// The JDK's function of that name, as its library exports it (the headers
// a cross build uses may not say so for Windows).
#ifdef _WIN32
#define EXPORTED __declspec(dllexport)
#else
#define EXPORTED JNIEXPORT
#endif
extern "C" EXPORTED jclass JNICALL Java_java_lang_ClassLoader_defineClass0(
    JNIEnv* jni, jclass definer, jobject loader, jclass lookup, jstring name, jbyteArray array,
    jint offset, jint length, jobject domain, jboolean initialize, jint flags, jobject data) {
    return vmDefineClass0(jni, definer, loader, lookup, name, array, offset, length, domain,
                          initialize, flags, data);
}

// Hidden classes never reach the load hook: their bytes are rewritten on
// their way through defineClass0, and only theirs, once rewriting is on;
// anything that goes wrong hands the VM what it was given.
TEST_F(ClassFileHookTest, HiddenClassesAreRewrittenOnTheirWayThroughDefineClass0) {
    constexpr jint kHidden = 0x2;
    jclass loaderClass = vm.klass("Ljava/lang/ClassLoader;");
    jmethodID defineClass0 = vm.method(
        loaderClass, "defineClass0",
        "(Ljava/lang/ClassLoader;Ljava/lang/Class;Ljava/lang/String;[BIILjava/security/"
        "ProtectionDomain;ZILjava/lang/Object;)Ljava/lang/Class;",
        MethodKind::Native);
    // Another native of the class, and a method of that name elsewhere, stay the VM's.
    void* vmDefine = reinterpret_cast<void*>(vmDefineClass0);
    EXPECT_EQ(bind(vm.method(loaderClass, "defineClass1", "()V", MethodKind::Native), vmDefine),
              vmDefine);
    EXPECT_EQ(bind(vm.method(vm.klass("Lapp/Loader;"), "defineClass0",
                             "(Ljava/lang/ClassLoader;Ljava/lang/Class;Ljava/lang/String;[BIILjava/"
                             "security/ProtectionDomain;ZILjava/lang/Object;)Ljava/lang/Class;",
                             MethodKind::Native),
                   vmDefine),
              vmDefine);
    ASSERT_EQ(bind(defineClass0, vmDefine), reinterpret_cast<void*>(onDefineClass0));
    auto define = [&](jbyteArray array, jint offset, jint length, jint flags) {
        jclass result = onDefineClass0(vm.jni(), nullptr, nullptr, nullptr, nullptr, array,
                                       offset, length, nullptr, JNI_TRUE, flags, nullptr);
        EXPECT_EQ(result, reinterpret_cast<jclass>(&defined));
        EXPECT_FALSE(vm.jni()->ExceptionCheck());
    };
    Bytes job = jobClass("app/Job$$Lambda$14");
    Bytes padded = job;
    padded.insert(padded.begin(), 3, 0xca);
    jbyteArray array = vm.byteArray(padded);
    auto handedOn = [&](jint flags) {
        return defined.array == array && defined.offset == 3 &&
               defined.length == static_cast<jint>(job.size()) && defined.flags == flags;
    };

    // Before the VM is up nothing is rewritten.
    define(array, 3, static_cast<jint>(job.size()), kHidden);
    EXPECT_TRUE(handedOn(kHidden));

    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    state->filters.append("Ljava/");
    define(array, 3, static_cast<jint>(job.size()), kHidden | 0x1);
    RewriteResult expected = rewriteClass(job.data(), job.size(), hookTarget());
    ASSERT_EQ(expected.outcome, ClassOutcome::Rewritten);
    EXPECT_NE(defined.array, array);
    EXPECT_EQ(defined.offset, 0);
    EXPECT_EQ(defined.length, static_cast<jint>(expected.bytes.size()));
    EXPECT_EQ(FakeJvm::bytesOf(defined.array), expected.bytes);
    EXPECT_EQ(defined.flags, kHidden | 0x1);

    // A class that is not hidden comes to the load hook instead.
    define(array, 3, static_cast<jint>(job.size()), 0x1);
    EXPECT_TRUE(handedOn(0x1));
    // A filtered one, one that does not parse, bounds the VM refuses, no
    // memory for the new bytes: all handed on as they came.
    jbyteArray filtered = vm.byteArray(jobClass("java/util/List$$Lambda$3"));
    define(filtered, 0, static_cast<jint>(FakeJvm::bytesOf(filtered).size()), kHidden);
    EXPECT_EQ(defined.array, filtered);
    define(array, 0, static_cast<jint>(job.size()), kHidden);
    EXPECT_TRUE(defined.array == array && defined.offset == 0);
    define(array, 3, static_cast<jint>(padded.size()), kHidden);
    EXPECT_TRUE(defined.array == array && defined.length == static_cast<jint>(padded.size()));
    vm.fail(Call::NewByteArray, JVMTI_ERROR_OUT_OF_MEMORY);
    define(array, 3, static_cast<jint>(job.size()), kHidden);
    EXPECT_TRUE(handedOn(kHidden));
    EXPECT_EQ(defined.calls, 7);
}

// Bound while the VM starts, when no method's name can be asked (javac's
// launcher has the JDK do so): the bound function's own name tells.
TEST_F(ClassFileHookTest, DefineClass0BoundBeforeNamesCanBeAskedIsKnownByItsFunction) {
    jmethodID defineClass0 = vm.method(
        vm.klass("Ljava/lang/ClassLoader;"), "defineClass0",
        "(Ljava/lang/ClassLoader;Ljava/lang/Class;Ljava/lang/String;[BIILjava/security/"
        "ProtectionDomain;ZILjava/lang/Object;)Ljava/lang/Class;",
        MethodKind::Native);
    vm.fail(Call::GetMethodName, JVMTI_ERROR_WRONG_PHASE);
    void* other = reinterpret_cast<void*>(vmDefineClass0);
    EXPECT_EQ(bind(defineClass0, other), other);
    jmethodID hashCode = vm.method(vm.klass("Ljava/lang/Object;"), "hashCode", "()I", MethodKind::Native);
    EXPECT_EQ(bind(hashCode, reinterpret_cast<void*>(otherNative)),
              reinterpret_cast<void*>(otherNative));
#if !defined(_WIN32) || defined(_WIN64)
    // (A 32-bit Windows build names its export otherwise than the JDK's.)
    void* named = reinterpret_cast<void*>(&Java_java_lang_ClassLoader_defineClass0);
    ASSERT_EQ(bind(defineClass0, named), reinterpret_cast<void*>(onDefineClass0));
    int calls = defined.calls;
    onDefineClass0(vm.jni(), nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, nullptr, JNI_TRUE,
                   0, nullptr);
    EXPECT_EQ(defined.calls, calls + 1);
#endif
}

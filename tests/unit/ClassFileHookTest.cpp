#include <gtest/gtest.h>

#include <cstring>

#include "instrument/ClassFileHook.h"
#include "instrument/ClassRewriter.h"
#include "instrument/HookClass.h"
#include "tests/ClassFiles.h"
#include "tests/TestSupport.h"
#include "tracing/MethodEvents.h"

namespace {

class ClassFileHookTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        state->rewriteClasses = true;
    }
    void TearDown() override {
        resetClassRewriting();
        AgentTest::TearDown();
    }

    // What the load hook hands back for `bytes` loaded as `name`; empty when
    // the class is left as it came. The VM's copy is released again.
    Bytes load(const char* name, const Bytes& bytes, jclass redefined = nullptr) {
        unsigned char* changed = nullptr;
        jint changedLength = 0;
        onClassFileLoadHook(vm.jvmti(), vm.jni(), redefined, nullptr, name, nullptr,
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
};

TEST_F(ClassFileHookTest, VmInitDefinesTheHookInTheBootLoaderAndBindsItsNative) {
    EXPECT_FALSE(classRewritingActive());
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    EXPECT_TRUE(classRewritingActive());
    EXPECT_EQ(vm.definedName, kHookClassName);
    EXPECT_TRUE(vm.definedWithNullLoader);
    EXPECT_EQ(vm.definedBytes, Bytes(hookClassBytes(), hookClassBytes() + hookClassLength()));
    ASSERT_EQ(vm.registeredNames, std::vector<std::string>{"enter (Ljava/lang/Object;)V"});
    EXPECT_NE(vm.registeredNatives[0].fnPtr, nullptr);
    ASSERT_NE(hookMethod(), nullptr);

    // The hook's own events ask the VM nothing and write nothing.
    int before = vm.totalCalls();
    jthread thread = vm.thread();
    onMethodEntry(vm.jvmti(), vm.jni(), thread, hookMethod());
    jvalue none;
    none.j = 0;
    onMethodExit(vm.jvmti(), vm.jni(), thread, hookMethod(), JNI_FALSE, none);
    EXPECT_EQ(vm.totalCalls(), before);
    EXPECT_EQ(traceText(), "");
}

TEST_F(ClassFileHookTest, WithoutTheHookNothingIsRewritten) {
    for (Call failing : {Call::DefineClass, Call::RegisterNatives, Call::GetStaticMethodID}) {
        SCOPED_TRACE(static_cast<int>(failing));
        vm.fail(failing, JVMTI_ERROR_INTERNAL);
        onVmInit(vm.jvmti(), vm.jni(), nullptr);
        EXPECT_FALSE(classRewritingActive());
        EXPECT_EQ(hookMethod(), nullptr);
        EXPECT_TRUE(load("app/Job", jobClass()).empty());
        vm.succeed(failing);
    }
    // mode=norewrite: the hook class is not even defined.
    state->rewriteClasses = false;
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    EXPECT_EQ(vm.calls(Call::DefineClass), 3);
    EXPECT_FALSE(classRewritingActive());
}

TEST_F(ClassFileHookTest, ClassesOfUnnamedModulesThatAreNotFilteredAreRewritten) {
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    state->filters.append("Ljava/");
    state->filters.append("Lapp/Skip");
    vm.namedPackages.insert("app/modular");

    Bytes job = jobClass();
    Bytes rewritten = load("app/Job", job);
    RewriteResult expected = rewriteClass(job.data(), job.size(), {kHookClassName, kHookMethodName});
    ASSERT_EQ(expected.outcome, ClassOutcome::Rewritten);
    EXPECT_EQ(rewritten, expected.bytes);
    EXPECT_EQ(vm.calls(Call::Allocate), 1);

    EXPECT_TRUE(load("java/util/Job", jobClass("java/util/Job")).empty());   // filtered
    EXPECT_TRUE(load("app/Skipped", jobClass("app/Skipped")).empty());       // filtered
    EXPECT_TRUE(load("app/modular/Job", jobClass("app/modular/Job")).empty());  // named module
    EXPECT_FALSE(load("Job", jobClass("Job")).empty());                       // default package
    int allocations = vm.calls(Call::Allocate);
    // Redefinitions and classes with nothing to change are left alone.
    EXPECT_TRUE(load("app/Job", job, vm.klass("Lapp/Job;")).empty());
    ClassFileBuilder statics("app/Statics");
    MethodSpec helper;
    helper.access = 0x0009;
    helper.name = "helper";
    helper.code.code = {0xb1};
    statics.addMethod(helper);
    EXPECT_TRUE(load("app/Statics", statics.bytes()).empty());
    EXPECT_TRUE(load(kHookClassName, Bytes(hookClassBytes(), hookClassBytes() + hookClassLength())).empty());
    EXPECT_TRUE(load("app/Bad", {0xca, 0xfe, 0xba, 0xbe, 0, 0}).empty());
    EXPECT_EQ(vm.calls(Call::Allocate), allocations);
    EXPECT_EQ(vm.outstandingTexts(), 0);
}

TEST_F(ClassFileHookTest, AnyFailureOnTheWayLeavesTheClassAsItCame) {
    onVmInit(vm.jvmti(), vm.jni(), nullptr);
    Bytes job = jobClass();
    vm.failOnce(Call::GetNamedModule, JVMTI_ERROR_INTERNAL);
    EXPECT_TRUE(load("app/Job", job).empty());
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

}  // namespace

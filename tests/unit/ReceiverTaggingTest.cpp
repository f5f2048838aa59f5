#include <gtest/gtest.h>

#include "tests/TestSupport.h"
#include "tracing/ReceiverTagging.h"

using ReceiverTaggingTest = AgentTest;

namespace {
bool tagIn(jthread thread, JNIEnv* jni) {
    bool filtered = false;
    tagReceiver(thread, jni, filtered);
    return filtered;
}
}  // namespace

TEST_F(ReceiverTaggingTest, ReceiversAreTaggedOnceInOrderOfFirstMeeting) {
    jclass job = vm.klass("Lapp/Job;");
    jclass fastJob = vm.klass("Lapp/FastJob;");  // a subclass: its own class is recorded
    jclass box = vm.klass("Lapp/Box;", std::string("<T:Ljava/lang/Object;>Ljava/lang/Object;"));
    jobject first = vm.object(job), second = vm.object(job), sub = vm.object(fastJob),
            generic = vm.object(box);
    jthread thread = vm.thread(first);

    EXPECT_FALSE(tagIn(thread, vm.jni()));
    EXPECT_EQ(vm.tagOf(first), 1);
    EXPECT_FALSE(tagIn(thread, vm.jni()));  // met again: nothing changes
    vm.setReceiver(thread, second);
    tagIn(thread, vm.jni());
    vm.setReceiver(thread, sub);
    tagIn(thread, vm.jni());
    vm.setReceiver(thread, generic);
    tagIn(thread, vm.jni());
    vm.setReceiver(thread, first);
    tagIn(thread, vm.jni());

    EXPECT_EQ(vm.tagOf(second), 2);
    EXPECT_EQ(vm.tagOf(sub), 3);
    EXPECT_EQ(vm.tagOf(generic), 4);
    EXPECT_EQ(state->objectLegend.items,
              (std::vector<std::string>{"Lapp/Job;", "Lapp/Job;", "Lapp/FastJob;",
                                        "Lapp/Box;|<T:Ljava/lang/Object;>Ljava/lang/Object;"}));
    EXPECT_EQ(state->nextObjectId, 5);
    EXPECT_EQ(state->nextTag, 5);
    EXPECT_EQ(vm.outstandingTexts(), 0);
}

TEST_F(ReceiverTaggingTest, ReceiverOfFilteredClassIsNeverTagged) {
    state->filters.append("Ljava/");
    jobject text = vm.object(vm.klass("Ljava/lang/String;"));
    jthread thread = vm.thread(text);
    EXPECT_TRUE(tagIn(thread, vm.jni()));
    EXPECT_EQ(vm.tagOf(text), 0);
    EXPECT_EQ(state->objectLegend.size(), 0u);
    EXPECT_EQ(vm.calls(Call::SetTag), 0);
    EXPECT_EQ(vm.outstandingTexts(), 0);
}

TEST_F(ReceiverTaggingTest, FailuresEndTaggingSilently) {
    jobject job = vm.object(vm.klass("Lapp/Job;"));
    jthread thread = vm.thread(job);
    struct Case {
        Call call;
        jvmtiError error;
    } cases[] = {{Call::GetLocalObject, JVMTI_ERROR_OPAQUE_FRAME},
                 {Call::GetTag, JVMTI_ERROR_INVALID_OBJECT},
                 {Call::GetObjectClass, JVMTI_ERROR_NONE},
                 {Call::SetTag, JVMTI_ERROR_OUT_OF_MEMORY}};
    for (const Case& c : cases) {
        vm.failOnce(c.call, c.error == JVMTI_ERROR_NONE ? JVMTI_ERROR_INTERNAL : c.error);
        EXPECT_FALSE(tagIn(thread, vm.jni()));
        EXPECT_EQ(vm.tagOf(job), 0);
        EXPECT_EQ(state->objectLegend.size(), 0u);
        EXPECT_EQ(state->nextTag, 1);
    }
    EXPECT_EQ(vm.outstandingTexts(), 0);
    EXPECT_FALSE(fileExists(dir.file("errorLog.txt")));

    // Slot 0 without an object (a static method with a long parameter).
    jthread noObject = vm.thread(nullptr);
    EXPECT_FALSE(tagIn(noObject, vm.jni()));

    // Once the calls succeed again the object gets the first tag.
    tagIn(thread, vm.jni());
    EXPECT_EQ(vm.tagOf(job), 1);
    EXPECT_EQ(state->objectLegend.items, std::vector<std::string>{"Lapp/Job;"});
}

TEST_F(ReceiverTaggingTest, EntryWithoutClassSignature) {
    jobject odd = vm.object(vm.klass("Lapp/Odd;", std::string("<T:>")));
    jthread thread = vm.thread(odd);
    vm.failOnce(Call::GetClassSignature, JVMTI_ERROR_INVALID_CLASS);
    tagIn(thread, vm.jni());
    jobject plain = vm.object(vm.klass("Lapp/Plain;"));
    vm.setReceiver(thread, plain);
    vm.failOnce(Call::GetClassSignature, JVMTI_ERROR_INVALID_CLASS);
    tagIn(thread, vm.jni());
    EXPECT_EQ(state->objectLegend.items, (std::vector<std::string>{"", ""}));
}

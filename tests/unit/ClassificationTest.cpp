#include <gtest/gtest.h>

#include <string>

#include "tests/TestSupport.h"
#include "tracing/Classification.h"

using ClassificationTest = AgentTest;

TEST_F(ClassificationTest, StaticnessComesFromParameterCountAgainstSlots) {
    jclass cls = vm.klass("Lapp/Main;");
    struct Case {
        const char* signature;
        MethodKind kind;
        bool expectStatic;
    } cases[] = {
        {"([Ljava/lang/String;)V", MethodKind::Static, true},
        {"()V", MethodKind::Static, true},
        {"(I[[ILjava/util/List;Z)I", MethodKind::Static, true},
        // long and double take two slots: such a static method looks like an instance one
        {"(JJ)J", MethodKind::Static, false},
        {"(D)V", MethodKind::Static, false},
        {"([J)V", MethodKind::Static, true},
        {"()V", MethodKind::Instance, false},
        {"(Ljava/lang/String;)V", MethodKind::Instance, false},
        // the L of the return type is never counted
        {"()Ljava/lang/String;", MethodKind::Instance, false},
        {"()Ljava/lang/String;", MethodKind::Static, true},
        // the VM cannot size a native method's arguments
        {"()V", MethodKind::Native, false},
    };
    for (const Case& c : cases) {
        jmethodID method = vm.method(cls, "m", c.signature, c.kind);
        EXPECT_EQ(isStaticBySignature(method, c.signature), c.expectStatic) << c.signature;
    }
}

TEST_F(ClassificationTest, StaticnessWithoutSignatureOrArgumentSize) {
    jclass cls = vm.klass("Lapp/Main;");
    jmethodID noParameters = vm.method(cls, "m", "()V", MethodKind::Static);
    // An absent signature counts as no parameter.
    EXPECT_TRUE(isStaticBySignature(noParameters, nullptr));
    vm.fail(Call::GetArgumentsSize, JVMTI_ERROR_INVALID_METHODID);
    EXPECT_FALSE(isStaticBySignature(noParameters, "()V"));
    // Not reported.
    EXPECT_FALSE(fileExists(dir.file("errorLog.txt")));
}

TEST_F(ClassificationTest, FilterEntriesArePrefixesComparedCaseSensitively) {
    EXPECT_FALSE(isFilteredClass("Ljava/lang/String;"));  // no entries: nothing filtered

    state->filters.append("Ljava/");
    EXPECT_TRUE(isFilteredClass("Ljava/lang/String;"));
    EXPECT_FALSE(isFilteredClass("Ljavax/swing/JFrame;"));
    EXPECT_FALSE(isFilteredClass("LJava/lang/String;"));
    EXPECT_FALSE(isFilteredClass("Ljava"));  // shorter than the entry
    EXPECT_FALSE(isFilteredClass(nullptr));

    state->filters.items = {"Ljava"};
    EXPECT_TRUE(isFilteredClass("Ljava/lang/String;"));
    EXPECT_TRUE(isFilteredClass("Ljavax/swing/JFrame;"));

    // An empty entry matches every class, even an absent signature.
    state->filters.items = {"Lnothing/", ""};
    EXPECT_TRUE(isFilteredClass("Lapp/Job;"));
    EXPECT_TRUE(isFilteredClass(nullptr));
}

TEST_F(ClassificationTest, LongFilterEntriesAreComparedWhole) {
    std::string longPackage = "Lcom/" + std::string(300, 'x') + "/";
    state->filters.append(longPackage);
    EXPECT_TRUE(isFilteredClass((longPackage + "Deep;").c_str()));
    // Differs only after the 256th character.
    std::string almost = longPackage;
    almost[280] = 'y';
    EXPECT_FALSE(isFilteredClass((almost + "Deep;").c_str()));
    EXPECT_FALSE(isFilteredClass(longPackage.substr(0, 299).c_str()));
}

TEST_F(ClassificationTest, ActivationKeysMatchExactly) {
    state->activations.append("Lapp/Job;run;()V");
    state->activations.append("Lapp/Main;main;([Ljava/lang/String;)V");
    EXPECT_TRUE(isActivationMethod("run", "()V", "Lapp/Job;"));
    EXPECT_TRUE(isActivationMethod("main", "([Ljava/lang/String;)V", "Lapp/Main;"));
    EXPECT_FALSE(isActivationMethod("Run", "()V", "Lapp/Job;"));
    EXPECT_FALSE(isActivationMethod("run", "()V", "Lapp/job;"));
    EXPECT_FALSE(isActivationMethod("run", "(I)V", "Lapp/Job;"));
    // Same characters, split differently: the ';' must fall between name and signature.
    EXPECT_FALSE(isActivationMethod("run;", ")V", "Lapp/Job;("));
    EXPECT_FALSE(isActivationMethod("ru", "n;()V", "Lapp/Job;"));
    EXPECT_FALSE(isActivationMethod(nullptr, "()V", "Lapp/Job;"));
    EXPECT_FALSE(isActivationMethod("run", nullptr, "Lapp/Job;"));
    EXPECT_FALSE(isActivationMethod("run", "()V", nullptr));
}

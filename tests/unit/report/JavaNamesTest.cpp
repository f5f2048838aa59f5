#include <gtest/gtest.h>

#include "report/JavaNames.h"

namespace {

std::string frameOf(const std::string& text) {
    EventText parts;
    if (!splitEventText(text, parts)) return "<not an event>";
    return javaFrame(parts);
}

}  // namespace

TEST(JavaFrameTest, ClassesWithDotsParametersInJavaFormNoReturnType) {
    EXPECT_EQ(frameOf("Lapp/Job;run()V"), "app.Job.run()");
    EXPECT_EQ(frameOf("Lapp/Main;main([Ljava/lang/String;)V"), "app.Main.main(java.lang.String[])");
    EXPECT_EQ(frameOf("Lapp/Box;put(Ljava/lang/Object;I)Ljava/lang/Object;"), "app.Box.put(java.lang.Object,int)");
    EXPECT_EQ(frameOf("Lapp/Outer$Inner;<init>(J[[D)V"), "app.Outer$Inner.<init>(long,double[][])");
    EXPECT_EQ(frameOf("LTop;<clinit>()V"), "Top.<clinit>()");
    EXPECT_EQ(frameOf("Lapp/P;all(BCDFIJSZ)[[Ljava/util/List;"),
              "app.P.all(byte,char,double,float,int,long,short,boolean)");
    EXPECT_EQ(frameOf("Lapp/P;mix([[[ZLa/B;[La/C$D;J)I"), "app.P.mix(boolean[][][],a.B,a.C$D[],long)");
    EXPECT_EQ(frameOf("Lapp/Main$$Lambda$14.0x0000000800c03000;run()V"),
              "app.Main$$Lambda$14.0x0000000800c03000.run()");
}

TEST(JavaFrameTest, AbsentTextsAndInvalidSignaturesKeptWithoutSemicolons) {
    // What the agent writes for texts the VM did not give.
    EXPECT_EQ(frameOf("Lapp/Job;run(null)"), "app.Job.run(null)");
    EXPECT_EQ(frameOf("Lapp/Job;(null)(null)"), "app.Job.(null)(null)");
    EXPECT_EQ(frameOf("(null)run()V"), "(null).run()");
    EXPECT_EQ(frameOf("(null)(null)(null)"), "(null).(null)(null)");
    // Not descriptors: kept as written, with ';' as ':'.
    EXPECT_EQ(frameOf("Lapp/Job;run(Ljava/lang/String)V"), "app.Job.run(Ljava/lang/String)V");
    EXPECT_EQ(frameOf("Lapp/Job;run(Ljava/lang/String;"), "app.Job.run(Ljava/lang/String:");
    EXPECT_EQ(frameOf("Lapp/Job;run(L;)V"), "app.Job.run(L:)V");
    EXPECT_EQ(frameOf("Lapp/Job;run(I)VX"), "app.Job.run(I)VX");
    EXPECT_EQ(frameOf("Lapp/Job;run(V)V"), "app.Job.run(V)V");
    EXPECT_EQ(frameOf("Lapp/Job;run([)V"), "app.Job.run([)V");
    EXPECT_EQ(frameOf("Lapp/Job;run()"), "app.Job.run()");
    EXPECT_EQ(frameOf("Lapp/Job;ru;n(I;)V"), "app.Job.ru:n(I:)V");
}

TEST(JavaFrameTest, TextsWithoutClassPartOrSignatureAreNoEvents) {
    for (const char* text : {"", "hello", "L;run()V", "Lapp/Job;", "Lapp/Job;run", "Lapp/Job", "(nul)run()V",
                             "(null)", "Lapp/Job;(", "-Lapp/Job;run()V", " Lapp/Job;run()V"}) {
        EventText parts;
        EXPECT_FALSE(splitEventText(text, parts)) << text;
    }
    EventText parts;
    ASSERT_TRUE(splitEventText("Lapp/Job;run(I)V", parts));
    EXPECT_EQ(parts.classSignature, "Lapp/Job;");
    EXPECT_EQ(parts.name, "run");
    EXPECT_EQ(parts.signature, "(I)V");
}

TEST(JavaFrameTest, ClassNames) {
    EXPECT_EQ(javaClassName("Ljava/util/Map$Entry;"), "java.util.Map$Entry");
    EXPECT_EQ(javaClassName("(null)"), "(null)");
    EXPECT_EQ(javaClassName("L;"), "L;");
    EXPECT_EQ(javaClassName("La;b;"), "La;b;");
}

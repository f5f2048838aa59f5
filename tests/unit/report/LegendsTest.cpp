#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "report/Legends.h"

namespace {

class LegendsTest : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& text) {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("kelmora-legends-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    Problems problems;
};

}  // namespace

TEST_F(LegendsTest, MethodKeysTellStaticFromInstanceMethods) {
    std::string path = write("MethodLegend.txt",
                             "1 == main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Main;\n"
                             "2 == <init>:<(Ljava/lang/Object;)V>:<(TT;)V>\r\n"
                             "a == get:<()Ljava/lang/Object;>:<()TT;>\n"
                             "b == sum:<(JJ)J>:<(null)>\n"
                             "c == broken key\n"
                             "not a legend line\n"
                             "d == x:<(Ljava/util/List;)V>:<(Ljava/util/List<Ljava/lang/String;>;)V>||Lapp/G;\n");
    MethodLegend legend;
    ASSERT_TRUE(readMethodLegend(path, legend, problems));
    EXPECT_EQ(legend.keys, 5u);
    EXPECT_EQ(legend.staticMethods.count("Lapp/Main;main([Ljava/lang/String;)V"), 1u);
    EXPECT_EQ(legend.staticMethods.count("Lapp/G;x(Ljava/util/List;)V"), 1u);
    EXPECT_EQ(legend.instanceMethods.count("<init>(Ljava/lang/Object;)V"), 1u);
    EXPECT_EQ(legend.instanceMethods.count("get()Ljava/lang/Object;"), 1u);
    EXPECT_EQ(legend.instanceMethods.count("sum(JJ)J"), 1u);
    EXPECT_EQ(legend.instanceMethods.count("main([Ljava/lang/String;)V"), 0u);
    ASSERT_EQ(problems.count(), 2u);
    EXPECT_EQ(formatProblem(problems.kept()[0]), path + ":5: not a method key: \"broken key\"");
    EXPECT_EQ(formatProblem(problems.kept()[1]), path + ":6: not a legend line: \"not a legend line\"");
}

TEST_F(LegendsTest, ReceiversGroupedByClass) {
    std::string path = write("ObjectLegend.txt",
                             "1 == Lapp/Animal;\n"
                             "2 == Lapp/Dog;\n"
                             "3 == Lapp/Box;|<T:Ljava/lang/Object;>Ljava/lang/Object;\n"
                             "4 == Lapp/Dog;\n"
                             "5 == \n"
                             "6 == |<T:Ljava/lang/Object;>Ljava/lang/Object;\n"
                             "7 == Lapp/Box;|<T:Ljava/lang/Object;>Ljava/lang/Object;\n");
    ObjectLegend legend;
    ASSERT_TRUE(readObjectLegend(path, legend, problems));
    EXPECT_EQ(legend.receivers, 7u);
    ASSERT_EQ(legend.classes.size(), 4u);
    EXPECT_EQ(legend.classes[0].classSignature, "Lapp/Animal;");
    EXPECT_EQ(legend.classes[1].classSignature, "Lapp/Dog;");
    EXPECT_EQ(legend.classes[1].receivers, 2u);
    EXPECT_EQ(legend.classes[2].receivers, 2u);
    ASSERT_EQ(legend.classes[2].generics.size(), 1u);
    EXPECT_EQ(legend.classes[2].generics[0], "<T:Ljava/lang/Object;>Ljava/lang/Object;");
    EXPECT_EQ(legend.classes[3].classSignature, "");  // no class signature, twice
    EXPECT_EQ(legend.classes[3].receivers, 2u);
    EXPECT_EQ(problems.count(), 0u);
}

TEST_F(LegendsTest, MissingLegendIsReportedAndLeftOut) {
    MethodLegend methods;
    ObjectLegend objects;
    std::string missing = (dir / "MethodLegend.txt").string();
    EXPECT_FALSE(readMethodLegend(missing, methods, problems));
    EXPECT_FALSE(readObjectLegend((dir / "ObjectLegend.txt").string(), objects, problems));
    EXPECT_FALSE(methods.read);
    EXPECT_FALSE(objects.read);
    ASSERT_EQ(problems.count(), 2u);
    EXPECT_EQ(formatProblem(problems.kept()[0]),
              missing + ": cannot be opened: No such file or directory; its part of the report is left out");
}

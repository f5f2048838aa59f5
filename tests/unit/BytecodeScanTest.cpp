#include <gtest/gtest.h>

#include <vector>

#include "instrument/BytecodeScan.h"

namespace {

bool neverWrites(const std::vector<uint8_t>& code) {
    return neverWritesLocalZero(code.data(), code.size());
}

TEST(BytecodeScanTest, StoresAndIincOfLocalZeroAreFound) {
    EXPECT_TRUE(neverWrites({0x2a, 0xb1}));                  // aload_0; return
    EXPECT_FALSE(neverWrites({0x01, 0x4b, 0xb1}));           // aconst_null; astore_0
    EXPECT_FALSE(neverWrites({0x03, 0x3b, 0xb1}));           // iconst_0; istore_0
    EXPECT_FALSE(neverWrites({0x09, 0x3f, 0xb1}));           // lconst_0; lstore_0
    EXPECT_FALSE(neverWrites({0x0b, 0x43, 0xb1}));           // fconst_0; fstore_0
    EXPECT_FALSE(neverWrites({0x0e, 0x47, 0xb1}));           // dconst_0; dstore_0
    EXPECT_FALSE(neverWrites({0x03, 0x36, 0x00, 0xb1}));     // istore 0
    EXPECT_FALSE(neverWrites({0x84, 0x00, 0x01, 0xb1}));     // iinc 0 1
    EXPECT_FALSE(neverWrites({0xc4, 0x3a, 0x00, 0x00, 0xb1}));              // wide astore 0
    EXPECT_FALSE(neverWrites({0xc4, 0x84, 0x00, 0x00, 0x00, 0x01, 0xb1}));  // wide iinc 0
    // Other locals, and operands that merely hold a 0 byte, are not writes.
    EXPECT_TRUE(neverWrites({0x03, 0x3c, 0x84, 0x01, 0x00, 0x03, 0x36, 0x02, 0xb1}));
    EXPECT_TRUE(neverWrites({0x11, 0x00, 0x4b, 0x57, 0xb1}));  // sipush 0x004b; pop
    EXPECT_TRUE(neverWrites({0xc4, 0x3a, 0x01, 0x00, 0xb1}));  // wide astore 256
    EXPECT_TRUE(neverWrites({}));
}

TEST(BytecodeScanTest, SwitchPaddingDependsOnPositionInCode) {
    // tableswitch at pc 1: operands start at 4 (two pad bytes at 2 and 3).
    // The jump table's bytes would read as astore_0 if the padding were wrong.
    std::vector<uint8_t> table = {0x03, 0xaa, 0x00, 0x00,  // iconst_0; tableswitch; pad
                                  0x00, 0x00, 0x00, 0x4b,  // default
                                  0x00, 0x00, 0x00, 0x00,  // low 0
                                  0x00, 0x00, 0x00, 0x00,  // high 0
                                  0x00, 0x00, 0x00, 0x4b,  // one offset
                                  0xb1};
    EXPECT_EQ(instructionLength(table.data(), table.size(), 1), 19u);
    EXPECT_TRUE(neverWrites(table));
    // lookupswitch at pc 3: no padding at all.
    std::vector<uint8_t> lookup = {0x03, 0x00, 0x00, 0xab, 0x00, 0x00, 0x00, 0x4b,
                                   0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x4b,
                                   0x00, 0x00, 0x00, 0x4b, 0xb1};
    EXPECT_EQ(instructionLength(lookup.data(), lookup.size(), 3), 17u);
    EXPECT_TRUE(neverWrites(lookup));
}

TEST(BytecodeScanTest, CodeThatDoesNotParseCountsAsWriting) {
    EXPECT_FALSE(neverWrites({0xfe}));                // not an instruction
    EXPECT_FALSE(neverWrites({0x11, 0x00}));          // operand cut off
    EXPECT_FALSE(neverWrites({0xc4, 0x10, 0x00}));    // wide of bipush
    EXPECT_FALSE(neverWrites({0x00, 0x00, 0x00, 0xaa, 0x00, 0x00, 0x00, 0x00,  // high < low
                              0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_FALSE(neverWrites({0xab, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                              0x7f, 0xff, 0xff, 0xff}));  // more pairs than bytes
}

// Constructors that can hand their object to no other code: only their super
// or this call, and stores of locals and constants into their own fields.
TEST(BytecodeScanTest, QuietConstructorsCallOnlyTheirSuperAndStoreTheirArguments) {
    auto quiet = [](const std::vector<uint8_t>& code) {
        return quietConstructorCall(code.data(), code.size());
    };
    // AbstractCollection(): aload_0; invokespecial; return.
    EXPECT_EQ(quiet({0x2a, 0xb7, 0x00, 0x01, 0xb1}), 1);
    // Enum(String, int): the super call, then this.name = name, this.ordinal = ordinal.
    EXPECT_EQ(quiet({0x2a, 0xb7, 0x00, 0x01, 0x2a, 0x2b, 0xb5, 0x00, 0x02, 0x2a, 0x1c, 0xb5, 0x00,
                     0x03, 0xb1}),
              1);
    // An inner class: its outer object stored before the super call, which takes a constant.
    EXPECT_EQ(quiet({0x2a, 0x2b, 0xb5, 0x00, 0x02, 0x2a, 0x10, 0x07, 0xb7, 0x00, 0x01, 0xb1}), 8);
    // Anything else may hand the object on, or runs other code.
    EXPECT_EQ(quiet({0x2a, 0xb7, 0x00, 0x01, 0x2a, 0xb6, 0x00, 0x04, 0xb1}), -1);  // a call
    EXPECT_EQ(quiet({0x2a, 0xb7, 0x00, 0x01, 0x2a, 0xb7, 0x00, 0x01, 0xb1}), -1);  // two
    EXPECT_EQ(quiet({0x2a, 0xbb, 0x00, 0x05, 0xb7, 0x00, 0x01, 0xb1}), -1);        // new
    EXPECT_EQ(quiet({0x2a, 0xb7, 0x00, 0x01, 0x2b, 0x2a, 0xb3, 0x00, 0x02, 0xb1}), -1);  // putstatic
    EXPECT_EQ(quiet({0x2a, 0x12, 0x03, 0xb7, 0x00, 0x01, 0xb1}), -1);    // ldc (may load or bootstrap)
    EXPECT_EQ(quiet({0x2a, 0xb7, 0x00, 0x01, 0x1b, 0x99, 0x00, 0x03, 0xb1}), -1);  // a branch
    EXPECT_EQ(quiet({0x2a, 0xb7, 0x00, 0x01, 0xb1, 0xb1}), -1);          // return before the end
    EXPECT_EQ(quiet({0x2a, 0xb1}), -1);                                  // no call
    EXPECT_EQ(quiet({0x2a, 0xb7, 0x00}), -1);                            // cut short
    EXPECT_EQ(quiet({}), -1);
}

}  // namespace

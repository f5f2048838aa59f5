#include "instrument/HookClass.h"

namespace {

// public final class kelmora.Hook { public static native void enter(Object); }
// Version 52 (Java 8): every VM the agent runs on reads it.
constexpr uint8_t kHookClass[] = {
    0xca, 0xfe, 0xba, 0xbe, 0x00, 0x00, 0x00, 0x34,  // magic, minor 0, major 52
    0x00, 0x07,                                      // constant pool count
    0x01, 0x00, 0x0c, 'k', 'e', 'l', 'm', 'o', 'r', 'a', '/', 'H', 'o', 'o', 'k',  // #1
    0x07, 0x00, 0x01,                                                             // #2 Class #1
    0x01, 0x00, 0x10, 'j', 'a', 'v', 'a', '/', 'l', 'a', 'n', 'g', '/', 'O', 'b', 'j', 'e', 'c',
    't',                                                                          // #3
    0x07, 0x00, 0x03,                                                             // #4 Class #3
    0x01, 0x00, 0x05, 'e', 'n', 't', 'e', 'r',                                    // #5
    0x01, 0x00, 0x15, '(', 'L', 'j', 'a', 'v', 'a', '/', 'l', 'a', 'n', 'g', '/', 'O', 'b', 'j',
    'e', 'c', 't', ';', ')', 'V',                                                 // #6
    0x00, 0x31,              // public final super
    0x00, 0x02, 0x00, 0x04,  // this, super
    0x00, 0x00,              // interfaces
    0x00, 0x00,              // fields
    0x00, 0x01,              // one method:
    0x01, 0x09, 0x00, 0x05, 0x00, 0x06, 0x00, 0x00,  // public static native enter, no attributes
    0x00, 0x00,              // class attributes
};

}  // namespace

const uint8_t* hookClassBytes() { return kHookClass; }
std::size_t hookClassLength() { return sizeof kHookClass; }

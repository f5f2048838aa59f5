// Reading a method's bytecode: instruction boundaries and what writes local 0.
#pragma once

#include <cstddef>
#include <cstdint>

// Length in bytes of the instruction at `pc` (opcode included), or 0 when it
// is not a valid instruction or runs past the end of the code. Switch padding
// is counted from the start of the code, as the class file defines it.
std::size_t instructionLength(const uint8_t* code, std::size_t length, std::size_t pc);

// True when the whole code parses and no instruction stores into local 0
// (a store of any type, `iinc`, or their `wide` forms naming index 0). Code
// that cannot be parsed counts as writing it.
bool neverWritesLocalZero(const uint8_t* code, std::size_t length);

// A constructor's code that can hand its object to no other code: its super
// or this call with only locals and constants as arguments, then stores of
// locals and constants into the object's own fields, then `return`; no other
// call, no branch. Returns where that call stands, or -1.
long quietConstructorCall(const uint8_t* code, std::size_t length);

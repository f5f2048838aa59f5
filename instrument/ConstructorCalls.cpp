#include "instrument/ConstructorCalls.h"

#include <optional>

#include "instrument/BytecodeScan.h"

namespace {

constexpr uint8_t kInvokespecial = 0xb7;

// What a stack slot holds, as far as constructor calls go.
enum class Kind : uint8_t {
    Other,  // anything initialized, or a primitive
    This,   // the object a constructor is building, before its super or this call
    New,    // an object made by the `new` at `made`, not yet initialized
};

struct Value {
    Kind kind = Kind::Other;
    uint8_t size = 1;  // slots: 2 for a long or double
    uint32_t made = 0;
    bool operator==(const Value& other) const {
        return kind == other.kind && size == other.size && made == other.made;
    }
};

struct State {
    std::vector<Value> stack;
    bool thisReady = true;  // local 0 holds an initialized object (or any object)
    bool operator==(const State& other) const {
        return thisReady == other.thisReady && stack == other.stack;
    }
};

int16_t s2(const uint8_t* at) { return static_cast<int16_t>((at[0] << 8) | at[1]); }
uint16_t u2(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }
int32_t s4(const uint8_t* at) {
    return static_cast<int32_t>((uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) |
                                (uint32_t(at[2]) << 8) | uint32_t(at[3]));
}

// Slots taken by a field descriptor's type, or a method descriptor's
// parameters and result (0 for void).
uint32_t typeSlots(char first) { return first == 'J' || first == 'D' ? 2 : first == 'V' ? 0 : 1; }

bool methodSlots(std::string_view descriptor, uint32_t& arguments, uint32_t& result) {
    if (descriptor.empty() || descriptor[0] != '(') return false;
    arguments = 0;
    std::size_t i = 1;
    while (i < descriptor.size() && descriptor[i] != ')') {
        char type = descriptor[i];
        bool array = false;
        while (type == '[' && i + 1 < descriptor.size()) {
            array = true;
            type = descriptor[++i];
        }
        if (type == 'L') {
            std::size_t end = descriptor.find(';', i);
            if (end == std::string_view::npos) return false;
            i = end;
        }
        arguments += array ? 1 : typeSlots(type);
        ++i;
    }
    if (i + 1 >= descriptor.size()) return false;
    result = typeSlots(descriptor[i + 1]);
    return true;
}

class Follower {
public:
    Follower(const uint8_t* code, std::size_t length, bool isConstructor,
             const std::vector<CodeRange>& handlers, const PoolEntries& pool)
        : code_(code), length_(length), constructor_(isConstructor), handlers_(handlers),
          pool_(pool), states_(length) {}

    ConstructorCalls run() {
        State start;
        start.thisReady = !constructor_;
        if (constructor_ && !neverWritesLocalZero(code_, length_)) ok_ = false;
        if (ok_ && length_ > 0) {
            markJoins();
            reach(0, start);
        }
        while (ok_ && !work_.empty()) {
            uint32_t pc = work_.back();
            work_.pop_back();
            follow(pc, *states_[pc]);
        }
        result_.followed = ok_;
        return result_;
    }

private:
    bool fail() { return ok_ = false; }

    // Where paths may meet: the start, every jump's target and every
    // handler. Any other instruction is reached only from the one before it,
    // so its state is carried on rather than kept. Code whose jumps or
    // handlers land inside an instruction (which the VM refuses) keeps a
    // state at every offset, as paths may meet anywhere there.
    void markJoins() {
        joins_.assign(length_, 0);
        std::vector<uint8_t> starts(length_, 0);
        auto target = [this](int64_t at) {
            if (at >= 0 && at < static_cast<int64_t>(length_)) joins_[static_cast<std::size_t>(at)] = 1;
        };
        joins_[0] = 1;
        for (std::size_t pc = 0; pc < length_;) {
            std::size_t size = instructionLength(code_, length_, pc);
            if (size == 0) return joins_.assign(length_, 1);
            starts[pc] = 1;
            jumpTargets(static_cast<uint32_t>(pc), target);
            pc += size;
        }
        for (const CodeRange& range : handlers_) target(range.handler);
        for (std::size_t pc = 0; pc < length_; ++pc) {
            if (joins_[pc] && !starts[pc]) return joins_.assign(length_, 1);
        }
    }

    // From a join on, instruction by instruction, until control ends or
    // meets another join.
    void follow(uint32_t pc, State state) {
        while (ok_) {
            uint32_t next = 0;
            if (!step(pc, state, next)) return;
            if (next >= length_ || joins_[next]) {
                reach(next, state);
                return;
            }
            pc = next;
        }
    }

    // A path arrives at `pc` with `state`; paths that meet must agree.
    void reach(uint32_t pc, const State& state) {
        if (pc >= length_) {
            fail();
        } else if (!states_[pc]) {
            states_[pc] = state;
            work_.push_back(pc);
        } else if (!(*states_[pc] == state)) {
            fail();
        }
    }

    // Takes `slots` slots off the stack, whole values only; an object not
    // yet initialized may only be dropped where `mayBeUninitialized`.
    bool pop(State& state, uint32_t slots, bool mayBeUninitialized = false) {
        while (slots > 0) {
            if (state.stack.empty()) return fail();
            const Value& top = state.stack.back();
            if (top.size > slots || (!mayBeUninitialized && top.kind != Kind::Other)) return fail();
            slots -= top.size;
            state.stack.pop_back();
        }
        return true;
    }
    void push(State& state, uint32_t slots, Kind kind = Kind::Other, uint32_t made = 0) {
        if (slots > 0) state.stack.push_back(Value{kind, static_cast<uint8_t>(slots), made});
    }

    // How many values from the top make up exactly `slots` slots, at or
    // after `from` (counted from the top); -1 when a value would be split.
    int valuesFor(const State& state, std::size_t from, uint32_t slots) {
        int count = 0;
        std::size_t i = state.stack.size() - from;
        while (slots > 0) {
            if (i == 0 || state.stack[i - 1].size > slots) return -1;
            slots -= state.stack[--i].size;
            ++count;
        }
        return count;
    }

    // dup, dup_x1, dup_x2, dup2, dup2_x1, dup2_x2: copies the top `top`
    // slots beneath the `below` slots under them.
    bool duplicate(State& state, uint32_t top, uint32_t below) {
        int copied = valuesFor(state, 0, top);
        if (copied < 0) return fail();
        int passed = valuesFor(state, static_cast<std::size_t>(copied), below);
        if (passed < 0) return fail();
        std::vector<Value> copy(state.stack.end() - copied, state.stack.end());
        state.stack.insert(state.stack.end() - copied - passed, copy.begin(), copy.end());
        return true;
    }

    void load(State& state, uint32_t local, uint32_t slots, bool reference) {
        bool self = reference && local == 0 && !state.thisReady;
        push(state, slots, self ? Kind::This : Kind::Other);
    }

    // A constructor call: initializes every copy of the object it is made on.
    bool constructorCall(State& state, uint32_t pc, std::string_view owner, uint32_t arguments) {
        if (!pop(state, arguments)) return false;
        if (state.stack.empty()) return fail();
        Value object = state.stack.back();
        state.stack.pop_back();
        if (object.kind == Kind::This) {
            result_.callsOnThis.push_back(pc);
            state.thisReady = true;
        } else if (object.kind == Kind::New) {
            std::string_view made;
            if (code_[object.made] != 0xbb ||
                !pool_.className(u2(code_ + object.made + 1), made) || made != owner) {
                result_.newObjectsMatch = false;
            }
        } else {
            // The verifier refuses this; the code is not the VM's to trust.
            result_.newObjectsMatch = false;
            return true;
        }
        for (Value& value : state.stack) {
            if (value.kind == object.kind && value.made == object.made) value = Value{};
        }
        if (object.kind == Kind::This) {
            uint32_t depth = 0;
            for (const Value& value : state.stack) depth += value.size;
            result_.stackAfterCallOnThis = depth;
        }
        return true;
    }

    bool invoke(State& state, uint32_t pc, uint8_t opcode) {
        uint16_t index = u2(code_ + pc + 1);
        std::string_view owner, name, descriptor;
        uint32_t arguments = 0, result = 0;
        if (opcode == 0xba) {
            if (!pool_.dynamicCall(index, descriptor)) return fail();
        } else if (!pool_.member(index, owner, name, descriptor)) {
            return fail();
        }
        if (!methodSlots(descriptor, arguments, result)) return fail();
        if (opcode == kInvokespecial && name == "<init>") {
            return constructorCall(state, pc, owner, arguments);
        }
        // invokestatic and invokedynamic have no receiver.
        if (!pop(state, arguments + (opcode == 0xb8 || opcode == 0xba ? 0 : 1))) return false;
        push(state, result);
        return true;
    }

    bool field(State& state, uint32_t pc, uint8_t opcode) {
        std::string_view owner, name, descriptor;
        if (!pool_.member(u2(code_ + pc + 1), owner, name, descriptor) || descriptor.empty()) {
            return fail();
        }
        uint32_t slots = typeSlots(descriptor[0]);
        switch (opcode) {
        case 0xb2: push(state, slots); return true;                                // getstatic
        case 0xb3: return pop(state, slots);                                       // putstatic
        case 0xb4: if (!pop(state, 1)) return false; push(state, slots); return true;  // getfield
        default:                                                                   // putfield
            // A constructor may set its own fields before its super call.
            if (!pop(state, slots) || state.stack.empty() ||
                state.stack.back().kind == Kind::New) {
                return fail();
            }
            state.stack.pop_back();
            return true;
        }
    }

    // Every offset the jump at `pc` may go to, handed to `to` (nothing for
    // an instruction that is no jump). A subroutine's call counts as one.
    template <typename To>
    void jumpTargets(uint32_t pc, To&& to) const {
        uint8_t opcode = code_[pc];
        if ((opcode >= 0x99 && opcode <= 0xa8) || opcode == 0xc6 || opcode == 0xc7) {
            to(int64_t(pc) + s2(code_ + pc + 1));
        } else if (opcode == 0xc8 || opcode == 0xc9) {
            to(int64_t(pc) + s4(code_ + pc + 1));
        } else if (opcode == 0xaa || opcode == 0xab) {
            std::size_t at = (pc + 4) & ~std::size_t(3);
            to(int64_t(pc) + s4(code_ + at));
            int64_t count = opcode == 0xaa ? int64_t(s4(code_ + at + 8)) - s4(code_ + at + 4) + 1
                                           : s4(code_ + at + 4);
            // Offsets from at + 12: alone (table) or behind their keys.
            std::size_t stride = opcode == 0xaa ? 4 : 8;
            for (int64_t i = 0; i < count; ++i) {
                to(int64_t(pc) + s4(code_ + at + 12 + stride * static_cast<std::size_t>(i)));
            }
        }
    }

    // Paths go on with `state` to every target of the jump at `pc`.
    void branches(const State& state, uint32_t pc) {
        jumpTargets(pc, [this, &state](int64_t target) {
            if (ok_) reach(static_cast<uint32_t>(target), state);
        });
    }

    // The stack effect of every other instruction: slots taken, then given.
    bool simple(State& state, uint8_t opcode) {
        auto effect = [&](uint32_t taken, uint32_t given) {
            if (!pop(state, taken)) return false;
            push(state, given);
            return true;
        };
        if (opcode == 0x00) return true;                                       // nop
        if (opcode <= 0x08) return effect(0, 1);                               // aconst_null, iconst_*
        if (opcode <= 0x0a) return effect(0, 2);                               // lconst_*
        if (opcode <= 0x0d) return effect(0, 1);                               // fconst_*
        if (opcode <= 0x0f) return effect(0, 2);                               // dconst_*
        if (opcode <= 0x13) return effect(0, 1);                               // bipush, sipush, ldc, ldc_w
        if (opcode == 0x14) return effect(0, 2);                               // ldc2_w
        if (opcode >= 0x2e && opcode <= 0x35) {                                // xaload
            return effect(2, opcode == 0x2f || opcode == 0x31 ? 2 : 1);
        }
        if (opcode >= 0x4f && opcode <= 0x56) {                                // xastore
            return effect(opcode == 0x50 || opcode == 0x52 ? 4 : 3, 0);
        }
        if (opcode >= 0x60 && opcode <= 0x73) {                                // add .. rem
            bool wide = (opcode - 0x60) % 2 == 1;                              // long, double
            return effect(wide ? 4 : 2, wide ? 2 : 1);
        }
        if (opcode >= 0x74 && opcode <= 0x77) {                                // neg
            bool wide = opcode == 0x75 || opcode == 0x77;
            return effect(wide ? 2 : 1, wide ? 2 : 1);
        }
        if (opcode >= 0x78 && opcode <= 0x7d) {                                // shifts
            bool wide = (opcode - 0x78) % 2 == 1;
            return effect(wide ? 3 : 2, wide ? 2 : 1);
        }
        if (opcode >= 0x7e && opcode <= 0x83) {                                // and, or, xor
            bool wide = (opcode - 0x7e) % 2 == 1;
            return effect(wide ? 4 : 2, wide ? 2 : 1);
        }
        switch (opcode) {
        case 0x85: return effect(1, 2);  // i2l
        case 0x86: return effect(1, 1);  // i2f
        case 0x87: return effect(1, 2);  // i2d
        case 0x88: return effect(2, 1);  // l2i
        case 0x89: return effect(2, 1);  // l2f
        case 0x8a: return effect(2, 2);  // l2d
        case 0x8b: return effect(1, 1);  // f2i
        case 0x8c: return effect(1, 2);  // f2l
        case 0x8d: return effect(1, 2);  // f2d
        case 0x8e: return effect(2, 1);  // d2i
        case 0x8f: return effect(2, 2);  // d2l
        case 0x90: return effect(2, 1);  // d2f
        case 0x91: case 0x92: case 0x93: return effect(1, 1);  // i2b, i2c, i2s
        case 0x94: return effect(4, 1);  // lcmp
        case 0x95: case 0x96: return effect(2, 1);  // fcmp
        case 0x97: case 0x98: return effect(4, 1);  // dcmp
        case 0xbc: case 0xbd: case 0xbe: return effect(1, 1);  // newarray, anewarray, arraylength
        case 0xc0: case 0xc1: return effect(1, 1);  // checkcast, instanceof
        case 0xc2: case 0xc3: return effect(1, 0);  // monitorenter, monitorexit
        default: return fail();
        }
    }

    // Steps `state` over the instruction at `pc`; true with `next` when
    // control passes on to the instruction after it.
    bool step(uint32_t pc, State& state, uint32_t& next) {
        std::size_t size = instructionLength(code_, length_, pc);
        if (size == 0) return fail();
        // Any instruction inside a try block may go to its handler, with
        // the locals as they are there and the exception alone on the stack.
        for (const CodeRange& range : handlers_) {
            if (pc >= range.start && pc < range.end) {
                State caught;
                caught.thisReady = state.thisReady;
                caught.stack.push_back(Value{});
                reach(range.handler, caught);
            }
        }
        uint8_t opcode = code_[pc];
        bool goesOn = true;  // control passes to the next instruction
        bool done = true;
        if (opcode >= 0x15 && opcode <= 0x19) {                       // xload index
            load(state, code_[pc + 1], opcode == 0x16 || opcode == 0x18 ? 2 : 1, opcode == 0x19);
        } else if (opcode >= 0x1a && opcode <= 0x2d) {                // xload_n
            uint32_t kind = (opcode - 0x1a) / 4;                      // i, l, f, d, a
            load(state, (opcode - 0x1a) % 4, kind == 1 || kind == 3 ? 2 : 1, kind == 4);
        } else if (opcode >= 0x36 && opcode <= 0x3a) {                // xstore index
            done = pop(state, opcode == 0x37 || opcode == 0x39 ? 2 : 1);
        } else if (opcode >= 0x3b && opcode <= 0x4e) {                // xstore_n
            uint32_t kind = (opcode - 0x3b) / 4;
            done = pop(state, kind == 1 || kind == 3 ? 2 : 1);
        } else if (opcode == 0x57) {
            done = pop(state, 1, true);                               // pop
        } else if (opcode == 0x58) {
            done = pop(state, 2, true);                               // pop2
        } else if (opcode >= 0x59 && opcode <= 0x5e) {                // dup family
            static const uint32_t tops[] = {1, 1, 1, 2, 2, 2}, belows[] = {0, 1, 2, 0, 1, 2};
            done = duplicate(state, tops[opcode - 0x59], belows[opcode - 0x59]);
        } else if (opcode == 0x5f) {                                  // swap
            if (state.stack.size() < 2 || state.stack.back().size != 1 ||
                state.stack[state.stack.size() - 2].size != 1) {
                done = fail();
            } else {
                std::swap(state.stack.back(), state.stack[state.stack.size() - 2]);
            }
        } else if (opcode == 0x84) {                                  // iinc
        } else if (opcode >= 0x99 && opcode <= 0x9e) {                // if<cond>
            done = pop(state, 1);
        } else if (opcode >= 0x9f && opcode <= 0xa6) {                // if_xcmp<cond>
            done = pop(state, 2);
        } else if (opcode == 0xa7 || opcode == 0xc8) {                // goto, goto_w
            goesOn = false;
        } else if (opcode == 0xa8 || opcode == 0xa9 || opcode == 0xc9) {  // subroutines
            done = fail();
        } else if (opcode == 0xaa || opcode == 0xab) {                // switches
            done = pop(state, 1);
            goesOn = false;
        } else if (opcode >= 0xac && opcode <= 0xb1) {                // returns
            done = pop(state, opcode == 0xb1 ? 0 : opcode == 0xad || opcode == 0xaf ? 2 : 1);
            goesOn = false;
        } else if (opcode >= 0xb2 && opcode <= 0xb5) {
            done = field(state, pc, opcode);
        } else if (opcode >= 0xb6 && opcode <= 0xba) {
            done = invoke(state, pc, opcode);
        } else if (opcode == 0xbb) {                                  // new
            push(state, 1, Kind::New, pc);
        } else if (opcode == 0xbf) {                                  // athrow
            done = pop(state, 1);
            goesOn = false;
        } else if (opcode == 0xc4) {                                  // wide
            uint8_t widened = code_[pc + 1];
            uint32_t local = u2(code_ + pc + 2);
            if (widened >= 0x15 && widened <= 0x19) {
                load(state, local, widened == 0x16 || widened == 0x18 ? 2 : 1, widened == 0x19);
            } else if (widened >= 0x36 && widened <= 0x3a) {
                done = pop(state, widened == 0x37 || widened == 0x39 ? 2 : 1);
            } else if (widened != 0x84) {
                done = fail();
            }
        } else if (opcode == 0xc5) {                                  // multianewarray
            done = pop(state, code_[pc + 3]);
            push(state, 1);
        } else if (opcode == 0xc6 || opcode == 0xc7) {                // ifnull, ifnonnull
            done = pop(state, 1);
        } else {
            done = simple(state, opcode);
        }
        if (!done || !ok_) return fail();
        branches(state, pc);
        next = static_cast<uint32_t>(pc + size);
        return goesOn && ok_;
    }

    const uint8_t* code_;
    std::size_t length_;
    bool constructor_;
    const std::vector<CodeRange>& handlers_;
    const PoolEntries& pool_;
    std::vector<std::optional<State>> states_;
    std::vector<uint8_t> joins_;
    std::vector<uint32_t> work_;
    ConstructorCalls result_;
    bool ok_ = true;
};

}  // namespace

ConstructorCalls followConstructorCalls(const uint8_t* code, std::size_t length, bool isConstructor,
                                        const std::vector<CodeRange>& handlers,
                                        const PoolEntries& pool) noexcept {
    try {
        return Follower(code, length, isConstructor, handlers, pool).run();
    } catch (...) {
        return ConstructorCalls();  // out of memory: not followed
    }
}

bool hasInvokespecial(const uint8_t* code, std::size_t length) {
    for (std::size_t pc = 0; pc < length;) {
        std::size_t size = instructionLength(code, length, pc);
        if (size == 0) return true;  // let the analysis say it cannot follow
        if (code[pc] == kInvokespecial) return true;
        pc += size;
    }
    return false;
}

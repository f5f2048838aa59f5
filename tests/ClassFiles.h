// Class files made by hand for the rewriter's tests, and a reader of our
// own to look at what came out. Both throw std::runtime_error on misuse.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Appends big-endian values to a byte vector.
void appendU1(Bytes& out, uint32_t value);
void appendU2(Bytes& out, uint32_t value);
void appendU4(Bytes& out, uint32_t value);
void appendBytes(Bytes& out, const Bytes& more);
uint16_t readU2(const Bytes& in, std::size_t at);
uint32_t readU4(const Bytes& in, std::size_t at);

struct ClassAttribute {
    std::string name;
    Bytes info;
};

struct Handler {
    uint16_t start, end, handler, catchType;
};

struct CodeSpec {
    uint16_t maxStack = 2;
    uint16_t maxLocals = 1;
    Bytes code;
    std::vector<Handler> handlers;
    std::vector<ClassAttribute> attributes;
};

struct MethodSpec {
    uint16_t access = 0x0001;  // public
    std::string name;
    std::string descriptor = "()V";
    bool hasCode = true;
    CodeSpec code;
};

class ClassFileBuilder {
public:
    ClassFileBuilder(std::string name, uint16_t major = 52,
                     std::string superName = "java/lang/Object");

    // Constant-pool entries; Utf8 and Class entries are shared when asked twice.
    uint16_t utf8(std::string_view text);
    uint16_t classRef(std::string_view name);
    uint16_t nameAndType(std::string_view name, std::string_view descriptor);
    uint16_t fieldref(std::string_view owner, std::string_view name, std::string_view descriptor);
    uint16_t methodref(std::string_view owner, std::string_view name, std::string_view descriptor);
    uint16_t integer(int32_t value);
    uint16_t longValue(int64_t value);
    // Any other entry, written as given (tag first).
    uint16_t rawEntry(const Bytes& entry, int slots = 1);
    // A Fieldref (tag 9) or Methodref (10) and the entries it names.
    uint16_t memberref(uint8_t tag, std::string_view owner, std::string_view name,
                       std::string_view descriptor);
    // Adds Integer entries until the pool's count (highest index + 1) is `count`.
    void fillPoolTo(uint32_t count);
    uint32_t poolCount() const { return nextIndex_; }

    void setAccess(uint16_t access) { access_ = access; }
    void addMethod(const MethodSpec& method) { methods_.push_back(method); }
    void addClassAttribute(const ClassAttribute& attribute) { attributes_.push_back(attribute); }

    Bytes bytes();

private:
    std::string name_, super_;
    uint16_t major_;
    uint16_t access_ = 0x0021;  // public super
    Bytes pool_;
    uint32_t nextIndex_ = 1;
    std::map<std::string, uint16_t, std::less<>> utf8s_, classes_;
    std::vector<MethodSpec> methods_;
    std::vector<ClassAttribute> attributes_;
};

// What the tests look at in a class file; read independently of the
// rewriter so that its faults cannot cancel out.
struct ParsedCode {
    uint16_t maxStack = 0, maxLocals = 0;
    Bytes code;
    std::vector<Handler> handlers;
    std::vector<ClassAttribute> attributes;

    const ClassAttribute* attribute(std::string_view name) const;
};

struct ParsedMethod {
    uint16_t access = 0;
    std::string name, descriptor;
    bool hasCode = false;
    ParsedCode code;
    Bytes raw;  // the whole method_info
};

struct PoolEntry {
    uint8_t tag = 0;
    std::string text;            // Utf8
    uint16_t first = 0, second = 0;  // the indices of two-part entries
};

struct ParsedClass {
    uint16_t major = 0;
    std::vector<PoolEntry> pool;  // by index; [0] unused
    std::vector<ParsedMethod> methods;

    const ParsedMethod& method(std::string_view name, std::string_view descriptor = {}) const;
    // "owner.name descriptor" of the Fieldref or Methodref at `index`.
    std::string memberrefText(uint16_t index) const;
};

ParsedClass parseClass(const Bytes& bytes);

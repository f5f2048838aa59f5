#include "tests/ClassFiles.h"

#include <stdexcept>

void appendU1(Bytes& out, uint32_t value) { out.push_back(static_cast<uint8_t>(value)); }
void appendU2(Bytes& out, uint32_t value) {
    appendU1(out, value >> 8);
    appendU1(out, value);
}
void appendU4(Bytes& out, uint32_t value) {
    appendU2(out, value >> 16);
    appendU2(out, value);
}
void appendBytes(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

uint16_t readU2(const Bytes& in, std::size_t at) {
    if (at + 2 > in.size()) throw std::runtime_error("class file cut off");
    return static_cast<uint16_t>((in[at] << 8) | in[at + 1]);
}
uint32_t readU4(const Bytes& in, std::size_t at) {
    return (uint32_t(readU2(in, at)) << 16) | readU2(in, at + 2);
}

ClassFileBuilder::ClassFileBuilder(std::string name, uint16_t major, std::string superName)
    : name_(std::move(name)), super_(std::move(superName)), major_(major) {}

uint16_t ClassFileBuilder::rawEntry(const Bytes& entry, int slots) {
    if (nextIndex_ + slots > 65535) throw std::runtime_error("pool full");
    appendBytes(pool_, entry);
    uint16_t index = static_cast<uint16_t>(nextIndex_);
    nextIndex_ += slots;
    return index;
}

uint16_t ClassFileBuilder::utf8(std::string_view text) {
    auto found = utf8s_.find(text);
    if (found != utf8s_.end()) return found->second;
    Bytes entry{1};
    appendU2(entry, static_cast<uint32_t>(text.size()));
    entry.insert(entry.end(), text.begin(), text.end());
    uint16_t index = rawEntry(entry);
    utf8s_.emplace(std::string(text), index);
    return index;
}

uint16_t ClassFileBuilder::classRef(std::string_view name) {
    auto found = classes_.find(name);
    if (found != classes_.end()) return found->second;
    Bytes entry{7};
    appendU2(entry, utf8(name));
    uint16_t index = rawEntry(entry);
    classes_.emplace(std::string(name), index);
    return index;
}

uint16_t ClassFileBuilder::nameAndType(std::string_view name, std::string_view descriptor) {
    Bytes entry{12};
    appendU2(entry, utf8(name));
    appendU2(entry, utf8(descriptor));
    return rawEntry(entry);
}

uint16_t ClassFileBuilder::memberref(uint8_t tag, std::string_view owner, std::string_view name,
                                     std::string_view descriptor) {
    Bytes entry{tag};
    appendU2(entry, classRef(owner));
    appendU2(entry, nameAndType(name, descriptor));
    return rawEntry(entry);
}

uint16_t ClassFileBuilder::fieldref(std::string_view owner, std::string_view name,
                                    std::string_view descriptor) {
    return memberref(9, owner, name, descriptor);
}

uint16_t ClassFileBuilder::methodref(std::string_view owner, std::string_view name,
                                     std::string_view descriptor) {
    return memberref(10, owner, name, descriptor);
}

uint16_t ClassFileBuilder::integer(int32_t value) {
    Bytes entry{3};
    appendU4(entry, static_cast<uint32_t>(value));
    return rawEntry(entry);
}

uint16_t ClassFileBuilder::longValue(int64_t value) {
    Bytes entry{5};
    appendU4(entry, static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32));
    appendU4(entry, static_cast<uint32_t>(value));
    return rawEntry(entry, 2);
}

void ClassFileBuilder::fillPoolTo(uint32_t count) {
    // The names the class itself needs come first, so that they do not
    // land past the count asked for.
    classRef(name_);
    classRef(super_);
    utf8("Code");
    for (const MethodSpec& method : methods_) {
        utf8(method.name);
        utf8(method.descriptor);
        for (const ClassAttribute& attribute : method.code.attributes) utf8(attribute.name);
    }
    while (nextIndex_ < count) integer(static_cast<int32_t>(nextIndex_));
    if (nextIndex_ != count) throw std::runtime_error("pool already past the count");
}

Bytes ClassFileBuilder::bytes() {
    uint16_t thisClass = classRef(name_);
    uint16_t superClass = classRef(super_);
    Bytes methods;
    for (const MethodSpec& method : methods_) {
        appendU2(methods, method.access);
        appendU2(methods, utf8(method.name));
        appendU2(methods, utf8(method.descriptor));
        if (!method.hasCode) {
            appendU2(methods, 0);
            continue;
        }
        appendU2(methods, 1);
        const CodeSpec& code = method.code;
        Bytes body;
        appendU2(body, code.maxStack);
        appendU2(body, code.maxLocals);
        appendU4(body, static_cast<uint32_t>(code.code.size()));
        appendBytes(body, code.code);
        appendU2(body, static_cast<uint32_t>(code.handlers.size()));
        for (const Handler& handler : code.handlers) {
            appendU2(body, handler.start);
            appendU2(body, handler.end);
            appendU2(body, handler.handler);
            appendU2(body, handler.catchType);
        }
        appendU2(body, static_cast<uint32_t>(code.attributes.size()));
        for (const ClassAttribute& attribute : code.attributes) {
            appendU2(body, utf8(attribute.name));
            appendU4(body, static_cast<uint32_t>(attribute.info.size()));
            appendBytes(body, attribute.info);
        }
        appendU2(methods, utf8("Code"));
        appendU4(methods, static_cast<uint32_t>(body.size()));
        appendBytes(methods, body);
    }
    Bytes attributes;
    for (const ClassAttribute& attribute : attributes_) {
        appendU2(attributes, utf8(attribute.name));
        appendU4(attributes, static_cast<uint32_t>(attribute.info.size()));
        appendBytes(attributes, attribute.info);
    }
    Bytes out;
    appendU4(out, 0xCAFEBABE);
    appendU2(out, 0);
    appendU2(out, major_);
    appendU2(out, nextIndex_);
    appendBytes(out, pool_);
    appendU2(out, access_);
    appendU2(out, thisClass);
    appendU2(out, superClass);
    appendU2(out, 0);  // interfaces
    appendU2(out, 0);  // fields
    appendU2(out, static_cast<uint32_t>(methods_.size()));
    appendBytes(out, methods);
    appendU2(out, static_cast<uint32_t>(attributes_.size()));
    appendBytes(out, attributes);
    return out;
}

const ClassAttribute* ParsedCode::attribute(std::string_view name) const {
    for (const ClassAttribute& attribute : attributes) {
        if (attribute.name == name) return &attribute;
    }
    return nullptr;
}

const ParsedMethod& ParsedClass::method(std::string_view name, std::string_view descriptor) const {
    for (const ParsedMethod& method : methods) {
        if (method.name == name && (descriptor.empty() || method.descriptor == descriptor)) {
            return method;
        }
    }
    throw std::runtime_error("no method " + std::string(name));
}

std::string ParsedClass::memberrefText(uint16_t index) const {
    const PoolEntry& ref = pool.at(index);
    if (ref.tag != 9 && ref.tag != 10) return "(not a Fieldref or Methodref)";
    const PoolEntry& owner = pool.at(ref.first);
    const PoolEntry& nat = pool.at(ref.second);
    return pool.at(owner.first).text + "." + pool.at(nat.first).text + " " +
           pool.at(nat.second).text;
}

namespace {

Bytes slice(const Bytes& in, std::size_t at, std::size_t count) {
    if (at + count > in.size()) throw std::runtime_error("class file cut off");
    return Bytes(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + count));
}

std::vector<ClassAttribute> readAttributes(const Bytes& in, std::size_t& at,
                                           const std::vector<PoolEntry>& pool) {
    std::vector<ClassAttribute> attributes;
    uint16_t count = readU2(in, at);
    at += 2;
    for (uint32_t i = 0; i < count; ++i) {
        ClassAttribute attribute;
        attribute.name = pool.at(readU2(in, at)).text;
        uint32_t length = readU4(in, at + 2);
        attribute.info = slice(in, at + 6, length);
        at += 6 + length;
        attributes.push_back(std::move(attribute));
    }
    return attributes;
}

}  // namespace

ParsedClass parseClass(const Bytes& in) {
    ParsedClass parsed;
    if (readU4(in, 0) != 0xCAFEBABE) throw std::runtime_error("no magic");
    parsed.major = readU2(in, 6);
    uint16_t count = readU2(in, 8);
    parsed.pool.resize(count);
    std::size_t at = 10;
    for (uint32_t index = 1; index < count; ++index) {
        PoolEntry& entry = parsed.pool[index];
        entry.tag = slice(in, at, 1)[0];
        switch (entry.tag) {
        case 1: {
            uint16_t length = readU2(in, at + 1);
            Bytes text = slice(in, at + 3, length);
            entry.text.assign(text.begin(), text.end());
            at += 3 + length;
            break;
        }
        case 7: case 8: case 16: case 19: case 20:
            entry.first = readU2(in, at + 1);
            at += 3;
            break;
        case 3: case 4: at += 5; break;
        case 5: case 6: at += 9; ++index; break;
        case 9: case 10: case 11: case 12: case 17: case 18:
            entry.first = readU2(in, at + 1);
            entry.second = readU2(in, at + 3);
            at += 5;
            break;
        case 15: at += 4; break;
        default: throw std::runtime_error("unknown pool tag");
        }
    }
    at += 6;
    at += 2 + 2 * std::size_t(readU2(in, at));  // interfaces
    uint16_t fields = readU2(in, at);
    at += 2;
    for (uint32_t i = 0; i < fields; ++i) {
        at += 6;
        readAttributes(in, at, parsed.pool);
    }
    uint16_t methods = readU2(in, at);
    at += 2;
    for (uint32_t i = 0; i < methods; ++i) {
        std::size_t start = at;
        ParsedMethod method;
        method.access = readU2(in, at);
        method.name = parsed.pool.at(readU2(in, at + 2)).text;
        method.descriptor = parsed.pool.at(readU2(in, at + 4)).text;
        at += 6;
        for (ClassAttribute& attribute : readAttributes(in, at, parsed.pool)) {
            if (attribute.name != "Code") continue;
            const Bytes& body = attribute.info;
            method.hasCode = true;
            method.code.maxStack = readU2(body, 0);
            method.code.maxLocals = readU2(body, 2);
            uint32_t length = readU4(body, 4);
            method.code.code = slice(body, 8, length);
            std::size_t p = 8 + length;
            uint16_t handlers = readU2(body, p);
            p += 2;
            for (uint32_t h = 0; h < handlers; ++h, p += 8) {
                method.code.handlers.push_back({readU2(body, p), readU2(body, p + 2),
                                                readU2(body, p + 4), readU2(body, p + 6)});
            }
            method.code.attributes = readAttributes(body, p, parsed.pool);
            if (p != body.size()) throw std::runtime_error("Code attribute length wrong");
        }
        method.raw = slice(in, start, at - start);
        parsed.methods.push_back(std::move(method));
    }
    readAttributes(in, at, parsed.pool);
    if (at != in.size()) throw std::runtime_error("bytes after the class");
    return parsed;
}

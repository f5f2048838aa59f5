#include "report/Legends.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <string_view>
#include <unordered_map>

namespace {

// Calls `entry` with the line number and the entry text of every legend
// line ("<base-36 id> == <entry>"), reporting the others.
bool readLegendLines(const std::string& path, Problems& problems,
                     const std::function<void(uint64_t, std::string_view)>& entry) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problems.add(path, 0, std::string("cannot be opened: ") + std::strerror(errno) +
                                  "; its part of the report is left out");
        return false;
    }
    std::string line;
    uint64_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t separator = line.find(" == ");
        std::string_view id(line.data(), separator == std::string::npos ? 0 : separator);
        if (separator == std::string::npos || id.empty() ||
            id.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz") != std::string_view::npos) {
            problems.add(path, number, "not a legend line: " + quoteLine(line));
            continue;
        }
        entry(number, std::string_view(line).substr(separator + 4));
    }
    if (in.bad()) {
        problems.add(path, number, std::string("cannot be read further: ") + std::strerror(errno));
    }
    return true;
}

}  // namespace

bool readMethodLegend(const std::string& path, MethodLegend& legend, Problems& problems) {
    legend.read = readLegendLines(path, problems, [&](uint64_t number, std::string_view key) {
        // name:<signature>:<generic>, with ||classSignature for a static one.
        // Descriptors hold no '<' or '>', so the signature ends at ">:<".
        size_t classAt = key.rfind("||");
        std::string_view body = classAt == std::string_view::npos ? key : key.substr(0, classAt);
        size_t open = body.find(":<");
        size_t close = open == std::string_view::npos ? open : body.find(">:<", open);
        if (close == std::string_view::npos) {
            problems.add(path, number, "not a method key: " + quoteLine(std::string(key)));
            return;
        }
        ++legend.keys;
        std::string method(body.substr(0, open));
        method.append(body.substr(open + 2, close - open - 2));
        if (classAt == std::string_view::npos) {
            legend.instanceMethods.insert(std::move(method));
        } else {
            legend.staticMethods.insert(std::string(key.substr(classAt + 2)) + method);
        }
    });
    return legend.read;
}

bool readObjectLegend(const std::string& path, ObjectLegend& legend, Problems& problems) {
    std::unordered_map<std::string, size_t> classIndex;
    legend.read = readLegendLines(path, problems, [&](uint64_t, std::string_view entry) {
        // classSignature, with |genericSignature when the class has one.
        size_t bar = entry.find('|');
        std::string signature(entry.substr(0, bar));
        auto found = classIndex.try_emplace(signature, legend.classes.size());
        if (found.second) legend.classes.push_back(ReceiverClass{signature, {}, 0});
        ReceiverClass& receiverClass = legend.classes[found.first->second];
        ++receiverClass.receivers;
        ++legend.receivers;
        if (bar != std::string_view::npos) {
            std::string generic(entry.substr(bar + 1));
            bool known = false;
            for (const std::string& g : receiverClass.generics) known = known || g == generic;
            if (!known) receiverClass.generics.push_back(std::move(generic));
        }
    });
    return legend.read;
}

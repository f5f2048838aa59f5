// Reads MethodLegend.txt and ObjectLegend.txt for what they add to the
// report: which methods the agent took as static, and the receivers.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "report/Problems.h"

struct MethodLegend {
    bool read = false;
    uint64_t keys = 0;
    // "Lapp/Main;main([Ljava/lang/String;)V": methods taken as static, as
    // the trace writes them (their keys carry the class).
    std::unordered_set<std::string> staticMethods;
    // "run()V": name and signature of the keys without class, the methods
    // taken as instance methods (in whatever class).
    std::unordered_set<std::string> instanceMethods;
};

struct ReceiverClass {
    std::string classSignature;  // may be empty: the agent got none
    std::vector<std::string> generics;  // the distinct generic signatures seen
    uint64_t receivers = 0;
};

struct ObjectLegend {
    bool read = false;
    uint64_t receivers = 0;
    std::vector<ReceiverClass> classes;  // in order of the first receiver
};

// Each returns false (with a problem) when the file cannot be read; a line
// that is no legend line is reported and skipped.
bool readMethodLegend(const std::string& path, MethodLegend& legend, Problems& problems);
bool readObjectLegend(const std::string& path, ObjectLegend& legend, Problems& problems);

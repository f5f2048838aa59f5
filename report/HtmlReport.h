// The self-contained HTML page: the page template with the report's data
// written into it as JSON.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "report/CallTree.h"
#include "report/Legends.h"
#include "report/Problems.h"

struct ReportInput {
    std::string traceName;  // the files as the messages name them
    bool traceRead = false;
    const CallTree* tree = nullptr;
    const TraceStats* stats = nullptr;
    const MethodLegend* methods = nullptr;
    const ObjectLegend* objects = nullptr;
    const Problems* problems = nullptr;
};

// The page template, made from report/ReportPage.html at build time.
extern const char* const reportPageTemplate;

// Appends `text` as a JSON string that is also safe inside a <script>
// element: '<', '>' and '&' escaped, bytes that are no UTF-8 taken as
// Latin-1, the VM's encoded surrogates kept as \u escapes.
void appendJsonString(std::string& out, std::string_view text);

// The data of the page as one JSON object.
std::string reportJson(const ReportInput& input);

// Writes the page; false when writing failed.
bool writeHtmlReport(const ReportInput& input, std::FILE* out);

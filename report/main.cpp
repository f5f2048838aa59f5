// kelmora-report [--html FILE] [--collapsed FILE] [DIR]: the call tree of
// DIR/trace.txt as a self-contained HTML page and as collapsed stacks.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "report/CallTree.h"
#include "report/Collapsed.h"
#include "report/HtmlReport.h"
#include "report/Legends.h"
#include "report/Problems.h"

namespace {

constexpr const char* usage =
    "usage: kelmora-report [--html FILE] [--collapsed FILE] [DIR]\n"
    "Reads DIR/trace.txt, DIR/MethodLegend.txt and DIR/ObjectLegend.txt (DIR\n"
    "defaults to the current directory) and writes an HTML page with the call\n"
    "tree, a flame graph and the hot methods (--html) and collapsed stacks\n"
    "(--collapsed). FILE - is standard output. With neither option the page is\n"
    "written to DIR/report.html.\n";

constexpr size_t problemsShown = 20;

std::string inDirectory(const std::string& dir, const char* name) {
    if (dir == ".") return name;
    return (std::filesystem::path(dir) / name).string();
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

int noClose(std::FILE*) { return 0; }

// Opens FILE for writing, "-" being standard output; null with a message
// when it cannot be created.
File openOutput(const std::string& name) {
    if (name == "-") return File(stdout, &noClose);
    // Text mode: lines end as the platform ends them, as in the agent's files.
    File file(std::fopen(name.c_str(), "w"), &std::fclose);
    if (!file) std::fprintf(stderr, "kelmora-report: %s: cannot be created: %s\n", name.c_str(), std::strerror(errno));
    return file;
}

bool closeOutput(File file, const std::string& name, bool written) {
    bool closed = name == "-" ? std::fflush(stdout) == 0 : std::fclose(file.release()) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "kelmora-report: %s: writing failed: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string html, collapsed, dir;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--html" || arg == "--collapsed") && i + 1 < argc) {
            (arg == "--html" ? html : collapsed) = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg.empty() || (arg[0] == '-' && arg != "-") || !dir.empty()) {
            std::fprintf(stderr, "kelmora-report: unexpected argument \"%s\"\n%s", arg.c_str(), usage);
            return 2;
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) dir = ".";
    if (html == "-" && collapsed == "-") {
        std::fprintf(stderr, "kelmora-report: only one of --html and --collapsed can be -\n");
        return 2;
    }
    if (html.empty() && collapsed.empty()) html = inDirectory(dir, "report.html");

    Problems problems;
    MethodLegend methods;
    ObjectLegend objects;
    std::string traceName = inDirectory(dir, "trace.txt");
    readMethodLegend(inDirectory(dir, "MethodLegend.txt"), methods, problems);
    readObjectLegend(inDirectory(dir, "ObjectLegend.txt"), objects, problems);
    TraceParser parser(traceName, problems);
    bool traceRead = readTraceFile(traceName, parser, problems);

    const std::vector<Problem>& kept = problems.kept();
    for (size_t i = 0; i < kept.size() && i < problemsShown; ++i) {
        std::fprintf(stderr, "kelmora-report: %s\n", formatProblem(kept[i]).c_str());
    }
    if (problems.count() > problemsShown) {
        std::fprintf(stderr, "kelmora-report: ... and %llu more problems%s\n",
                     static_cast<unsigned long long>(problems.count() - problemsShown),
                     html.empty() ? "" : " (the page lists the first 200)");
    }
    if (!traceRead && !methods.read && !objects.read) {
        std::fprintf(stderr, "kelmora-report: nothing could be read in %s\n", dir.c_str());
        return 1;
    }

    bool ok = true;
    if (!collapsed.empty()) {
        File out = openOutput(collapsed);
        if (out) {
            bool written = writeCollapsed(parser.tree(), out.get());
            ok = closeOutput(std::move(out), collapsed, written) && ok;
        } else {
            ok = false;
        }
    }
    if (!html.empty()) {
        ReportInput input;
        input.traceName = traceName;
        input.traceRead = traceRead;
        input.tree = &parser.tree();
        input.stats = &parser.stats();
        input.methods = &methods;
        input.objects = &objects;
        input.problems = &problems;
        File out = openOutput(html);
        bool written = false;
        if (out) {
            written = writeHtmlReport(input, out.get());
            written = closeOutput(std::move(out), html, written);
        }
        ok = written && ok;
        if (written && html != "-") {
            const TraceStats& stats = parser.stats();
            std::fprintf(stderr, "kelmora-report: wrote %s: %llu lines, %llu calls on %llu call paths\n",
                         html.c_str(), static_cast<unsigned long long>(stats.lines),
                         static_cast<unsigned long long>(stats.entries),
                         static_cast<unsigned long long>(parser.tree().size() - 1));
        }
    }
    return ok ? 0 : 1;
}

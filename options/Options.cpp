#include "options/Options.h"

#include <cctype>
#include <cstdio>
#include <exception>
#include <new>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Written with fwrite, never as a format: an option may hold '%' and be of
// any length.
void echoOption(const std::string& option) {
    static const char prefix[] = "Found option: ";
    std::fwrite(prefix, 1, sizeof prefix - 1, stdout);
    std::fwrite(option.data(), 1, option.size(), stdout);
    std::fputc('\n', stdout);
}

void reportFailure(const char* what) {
    std::fputs("[ERROR] Options: agent options not applied: ", stderr);
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
}

}  // namespace

void parseAgentOptions(const char* text) {
    // An exception must not unwind into the VM, which called the load entry
    // point from C.
    try {
        StringList pieces = splitAtSeparator(text, '*');
        for (const std::string& piece : pieces.items) echoOption(piece);
        applyOptions(pieces, pieces.size());
    } catch (const std::bad_alloc&) {
        reportFailure("out of memory");
    } catch (const std::exception& error) {
        reportFailure(error.what());
    } catch (...) {
        reportFailure("unknown failure");
    }
}

StringList splitAtSeparator(const char* text, char separator) {
    StringList pieces;
    if (text == nullptr) return pieces;
    const char* start = text;
    const char* cursor = text;
    for (; *cursor != '\0'; ++cursor) {
        if (*cursor != separator) continue;
        if (cursor > start) pieces.append(std::string(start, cursor));
        start = cursor + 1;
    }
    if (cursor > start) pieces.append(std::string(start, cursor));
    return pieces;
}

void applyOptions(const StringList& options, std::size_t count) {
    // Nothing to fill before load has made the state (or after unload).
    if (agentState == nullptr) return;
    if (count > options.size()) count = options.size();
    for (std::size_t index = 0; index < count; ++index) {
        const std::string& option = options.at(index);
        const std::string lower = lowercaseCopy(option);
        // The first keyword found decides; of "mode" only norewrite (and
        // rewrite, the default, to undo it) and fetchcounts mean anything,
        // every other text is accepted and ignored.
        if (lower.find("filter") != std::string::npos) {
            parseListOption(option, 6, ',', agentState->filters);
        } else if (lower.find("mode") != std::string::npos) {
            StringList values;
            parseListOption(option, 4, ',', values);
            for (const std::string& value : values.items) {
                const std::string mode = lowercaseCopy(value);
                if (mode == "rewrite") agentState->rewriteClasses = true;
                if (mode == "norewrite") agentState->rewriteClasses = false;
                if (mode == "fetchcounts") agentState->printFetchCounts = true;
            }
        } else if (lower.find("activation") != std::string::npos) {
            parseListOption(option, 10, '@', agentState->activations);
        }
    }
}

std::string lowercaseCopy(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

void parseListOption(const std::string& option, std::size_t keywordLength, char separator,
                     StringList& list) {
    const std::string text = trimRange(option, 0, -1);
    if (text.size() <= keywordLength) return;
    // From the keyword's length, not from where the keyword was found.
    const std::size_t equals = text.find('=', keywordLength);
    if (equals == std::string::npos) return;

    const long size = static_cast<long>(text.size());
    long start = static_cast<long>(equals) + 1;
    for (long index = start; index < size; ++index) {
        if (text[static_cast<std::size_t>(index)] != separator) continue;
        list.append(trimRange(text, start, index - 1));
        start = index + 1;
    }
    // The whole option was trimmed, so a remainder ends in a non-blank.
    if (start < size) list.append(trimRange(text, start, size - 1));
}

std::string trimRange(const std::string& text, long start, long end) {
    const long size = static_cast<long>(text.size());
    if (end == -1 || end >= size) end = size - 1;
    if (start < 0) start = 0;
    while (start <= end && isBlank(text[static_cast<std::size_t>(start)])) ++start;
    while (end >= start && isBlank(text[static_cast<std::size_t>(end)])) --end;
    if (start > end) return std::string();
    return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start + 1));
}

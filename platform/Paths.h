// Paths and files: the working directory, joining a file name to a
// directory, opening and removing a file. Both the agent's load (the error
// log, the trace) and the output files (the legends) name their files
// through these.
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Paths are UTF-8 text everywhere in the agent. On Windows the narrow calls
// of the system and the C runtime take the ANSI code page instead, in which
// a directory named with other letters (Greek in a Western locale, say) has
// no name; these go through the wide-character calls there.

// The process's working directory, of any length; empty when it cannot be
// read.
std::string workingDirectory();
// `directory`, the platform's path separator and `fileName`.
std::string joinPath(const std::string& directory, const char* fileName);
// std::fopen and std::remove of a path.
FILE* openFile(const std::string& path, const char* mode);
int removeFile(const std::string& path);

#ifdef _WIN32
// The path as UTF-16 for the wide-character calls; empty when it is no
// valid UTF-8.
std::wstring widePath(const std::string& path);
#endif

#ifndef VARNEX_PREVIEW_PATH_TEXT_H
#define VARNEX_PREVIEW_PATH_TEXT_H

#include <string>
#include <vector>

// Whether path is tree or lies below it, byte for byte; "/" holds every path.
bool is_within(const std::string &path, const std::string &tree);

// trees in byte order, each once, and none that lies within another.
std::vector<std::string> outermost_trees(std::vector<std::string> trees);

// A file name as GNU diff writes it in a header: unchanged, or between double
// quotes with C escapes when it holds a blank, a double quote, a backslash,
// a control byte or a byte above 127, so that every header is one line.
std::string diff_quoted(const std::string &name);

// The file name that diff wrote as text, quoted or not.
std::string diff_unquoted(const std::string &text);

#endif

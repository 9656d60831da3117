#ifndef VARNEX_SHELL_TEXT_H
#define VARNEX_SHELL_TEXT_H

#include <string>

// printf into a string of whatever length the result needs.
std::string format_text(const char *format, ...) __attribute__((format(printf, 1, 2)));

// text with each ' written as '\'', so that '<result>' is one shell word
// that stands for exactly text.
std::string escape_single_quotes(const std::string &text);

// A basic regular expression that matches name and nothing else, for grep,
// or for sed's s command when delimiter is its delimiter ('\0' for grep).
// A leading dash becomes [-], so that grep cannot take it for an option.
// name must hold no newline: a one-line pattern cannot match across lines.
std::string literal_pattern(const char *name, char delimiter);

// dir as one shell word that find takes as a starting point, never as part
// of its expression. Ordinary paths come back unchanged.
std::string find_start_word(const char *dir);

#endif

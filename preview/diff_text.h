#ifndef VARNEX_DIFF_TEXT_H
#define VARNEX_DIFF_TEXT_H

#include <string>
#include <vector>

// What the preview's unified diffs add up to: the files shown (a link that
// became a regular file counts as one) and the lines they add.
struct DiffTotals {
    long files;
    long lines;
};

DiffTotals diff_totals(const std::string &diff);

// A line that the rename changes where the old name is part of a longer
// word: llvmjit on a host called vm. path is as the diff header writes it,
// line is the line's number in the file as it is now.
struct InWordLine {
    std::string path;
    long line;
    std::string word;
};

// Each removed line where an occurrence of old_name, as sed's s///g finds
// them, touches an ASCII letter, digit, dash or underscore; each line once,
// in the diff's order.
std::vector<InWordLine> in_word_lines(const std::string &diff, const char *old_name);

std::string in_word_message(const InWordLine &flagged);

// The closing line; the in-word count appears only when there is one, and
// stopped says that varnex ended with status 1.
std::string summary_message(const DiffTotals &totals, size_t in_word, bool stopped);

// diff with git diff's colours for a terminal.
std::string coloured_diff(const std::string &diff);

// text, which ends in a newline, in yellow, as a flagged line is shown.
std::string yellow_line(const std::string &text);

// Colour only for a terminal, and never when NO_COLOR is set to anything.
bool colour_wanted(int fd);

// What the preview writes on standard error after varnex's transcript: the
// flagged lines of diff, then the summary.
std::string closing_text(const std::string &diff, const char *old_name, bool colour, bool stopped);

#endif

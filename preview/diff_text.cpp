#include "diff_text.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

#include "sys_util.h"

namespace {

bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool read_number(std::string_view text, size_t &pos, long &number)
{
    size_t first = pos;
    number = 0;
    // 18 digits cannot overflow a long; no diff has a line count that long.
    while (pos < text.size() && pos - first < 18 && text[pos] >= '0' && text[pos] <= '9')
        number = number * 10 + (text[pos++] - '0');
    return pos > first;
}

// "N" or "N,M"; diff leaves out a count of 1.
bool read_range(std::string_view text, size_t &pos, long &start, long &count)
{
    count = 1;
    if (!read_number(text, pos, start))
        return false;
    if (pos >= text.size() || text[pos] != ',')
        return true;
    pos++;
    return read_number(text, pos, count);
}

bool read_hunk_header(std::string_view text, long &old_start, long &old_count, long &new_count)
{
    size_t pos = 4;
    long new_start = 0;
    if (!starts_with(text, "@@ -") || !read_range(text, pos, old_start, old_count)
        || text.substr(pos, 2) != " +")
        return false;
    pos += 2;
    return read_range(text, pos, new_start, new_count) && text.substr(pos, 3) == " @@";
}

bool joins_word(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
        || c == '_';
}

bool in_word(char c)
{
    return joins_word(c) || c == '.';
}

const char reset[] = "\033[m";

std::string painted(std::string_view text, const char *sgr, bool newline)
{
    std::string line = sgr;
    line += text;
    line += reset;
    if (newline)
        line += '\n';
    return line;
}

} // namespace

std::vector<DiffLine> parse_diff(const std::string &diff)
{
    std::vector<DiffLine> lines;
    long old_left = 0;
    long new_left = 0;
    long old_number = 0;
    for (size_t start = 0; start < diff.size();) {
        size_t end = diff.find('\n', start);
        bool newline = end != std::string::npos;
        if (!newline)
            end = diff.size();
        DiffLine line{
            DiffLine::other, std::string_view(diff).substr(start, end - start), newline, 0};
        start = end + 1;
        char first = line.text.empty() ? '\0' : line.text[0];
        if (first == ' ' && old_left > 0 && new_left > 0) {
            line.kind = DiffLine::context;
            line.old_number = old_number++;
            old_left--;
            new_left--;
        } else if (first == '-' && old_left > 0) {
            line.kind = DiffLine::removed;
            line.old_number = old_number++;
            old_left--;
        } else if (first == '+' && new_left > 0) {
            line.kind = DiffLine::added;
            new_left--;
        } else if (first != '\\') {
            // "\ No newline at end of file" may stand inside a hunk or
            // right after it; anything else ends it.
            old_left = new_left = 0;
            long start_number = 0;
            long old_count = 0;
            long new_count = 0;
            if (starts_with(line.text, "diff "))
                line.kind = DiffLine::command;
            else if (starts_with(line.text, "--- "))
                line.kind = DiffLine::old_header;
            else if (starts_with(line.text, "+++ "))
                line.kind = DiffLine::new_header;
            else if (starts_with(line.text, "File "))
                line.kind = DiffLine::link;
            else if (read_hunk_header(line.text, start_number, old_count, new_count)) {
                line.kind = DiffLine::hunk;
                old_number = start_number;
                old_left = old_count;
                new_left = new_count;
            }
        }
        lines.push_back(line);
    }
    return lines;
}

DiffTotals diff_totals(const std::string &diff)
{
    DiffTotals totals{0, 0};
    std::string_view link;
    for (const DiffLine &line : parse_diff(diff)) {
        // A link's line may come with the lines its file changes: one file.
        bool same_file = line.kind == DiffLine::old_header
            && starts_with(
                link, "File " + std::string(line.text.substr(4)) + " is a symbolic link while ");
        if ((line.kind == DiffLine::old_header && !same_file) || line.kind == DiffLine::link)
            totals.files++;
        if (line.kind == DiffLine::added)
            totals.lines++;
        link = line.kind == DiffLine::link ? line.text : std::string_view();
    }
    return totals;
}

std::vector<InWordLine> in_word_lines(const std::string &diff, const char *old_name)
{
    std::vector<InWordLine> flagged;
    std::string_view name = old_name;
    if (name.empty())
        return flagged;
    std::string_view path;
    for (const DiffLine &line : parse_diff(diff)) {
        if (line.kind == DiffLine::old_header)
            path = line.text.substr(4);
        if (line.kind != DiffLine::removed)
            continue;
        std::string_view text = line.text.substr(1);
        for (size_t at = text.find(name); at != std::string_view::npos;
             at = text.find(name, at + name.size())) {
            size_t first = at;
            size_t end = at + name.size();
            if ((first == 0 || !joins_word(text[first - 1]))
                && (end == text.size() || !joins_word(text[end])))
                continue;
            while (first > 0 && in_word(text[first - 1]))
                first--;
            while (end < text.size() && in_word(text[end]))
                end++;
            flagged.push_back(
                {std::string(path), line.old_number, std::string(text.substr(first, end - first))});
            break;
        }
    }
    return flagged;
}

std::string in_word_message(const InWordLine &flagged)
{
    return message_prefix + flagged.path + ":" + std::to_string(flagged.line) + ": '" + flagged.word
        + "' holds the old name inside a longer word\n";
}

std::string summary_message(const DiffTotals &totals, size_t in_word, bool stopped)
{
    std::string text = message_prefix;
    if (stopped)
        text += "the rename would stop with status 1; up to there, ";
    text += std::to_string(totals.files) + (totals.files == 1 ? " file" : " files")
        + " would change, " + std::to_string(totals.lines)
        + (totals.lines == 1 ? " line" : " lines");
    if (in_word > 0)
        text += "; " + std::to_string(in_word)
            + (in_word == 1 ? " inside a longer word" : " inside longer words");
    return text + ".\n";
}

std::string coloured_diff(const std::string &diff)
{
    std::string coloured;
    for (const DiffLine &line : parse_diff(diff)) {
        const char *sgr = "";
        switch (line.kind) {
        case DiffLine::old_header:
        case DiffLine::new_header:
        case DiffLine::link:
            sgr = "\033[1m";
            break;
        case DiffLine::hunk:
            sgr = "\033[36m";
            break;
        case DiffLine::removed:
            sgr = "\033[31m";
            break;
        case DiffLine::added:
            sgr = "\033[32m";
            break;
        case DiffLine::context:
        case DiffLine::other:
        case DiffLine::command:
            break;
        }
        if (*sgr != '\0') {
            coloured += painted(line.text, sgr, line.newline);
        } else {
            coloured += line.text;
            if (line.newline)
                coloured += '\n';
        }
    }
    return coloured;
}

std::string yellow_line(const std::string &text)
{
    std::string_view line = text;
    bool newline = !line.empty() && line.back() == '\n';
    if (newline)
        line.remove_suffix(1);
    return painted(line, "\033[33m", newline);
}

bool colour_wanted(int fd)
{
    const char *no_colour = getenv("NO_COLOR");
    return isatty(fd) == 1 && (no_colour == nullptr || *no_colour == '\0');
}

std::string closing_text(const std::string &diff, const char *old_name, bool colour, bool stopped)
{
    std::vector<InWordLine> flagged = in_word_lines(diff, old_name);
    std::string text;
    for (const InWordLine &line : flagged)
        text += colour ? yellow_line(in_word_message(line)) : in_word_message(line);
    return text + summary_message(diff_totals(diff), flagged.size(), stopped);
}

#include "path_text.h"

#include <algorithm>
#include <cstring>

namespace {

bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

bool needs_quotes(const std::string &name)
{
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte >= 0x80 || c == '"' || c == '\\')
            return true;
    }
    return false;
}

const char c_escapes[] = "\a\b\t\n\v\f\r";
const char c_escape_letters[] = "abtnvfr";

} // namespace

bool is_within(const std::string &path, const std::string &tree)
{
    if (tree == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, tree.size(), tree) == 0
        && (path.size() == tree.size() || path[tree.size()] == '/');
}

std::vector<std::string> outermost_trees(std::vector<std::string> trees)
{
    std::sort(trees.begin(), trees.end());
    std::vector<std::string> outermost;
    // In byte order a tree comes before everything below it, so only the
    // last one kept can hold the next.
    for (const std::string &tree : trees)
        if (outermost.empty() || !is_within(tree, outermost.back()))
            outermost.push_back(tree); // cppcheck-suppress useStlAlgorithm
    return outermost;
}

std::string diff_quoted(const std::string &name)
{
    if (!needs_quotes(name))
        return name;
    std::string quoted = "\"";
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        const char *named = c == '\0' ? nullptr : std::strchr(c_escapes, c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (named != nullptr) {
            quoted += '\\';
            quoted += c_escape_letters[named - c_escapes];
        } else if (byte < ' ' || byte >= 0x80) {
            quoted += '\\';
            quoted += static_cast<char>('0' + (byte >> 6));
            quoted += static_cast<char>('0' + ((byte >> 3) & 7));
            quoted += static_cast<char>('0' + (byte & 7));
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string diff_unquoted(const std::string &text)
{
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return text;
    std::string name;
    for (size_t i = 1; i + 1 < text.size(); i++) {
        if (text[i] != '\\' || i + 2 >= text.size()) {
            name += text[i];
            continue;
        }
        char next = text[++i];
        const char *letter = std::strchr(c_escape_letters, next);
        if (is_octal(next) && i + 2 < text.size() && is_octal(text[i + 1])
            && is_octal(text[i + 2])) {
            name += static_cast<char>(
                (next - '0') * 64 + (text[i + 1] - '0') * 8 + text[i + 2] - '0');
            i += 2;
        } else if (letter != nullptr && next != '\0') {
            name += c_escapes[letter - c_escape_letters];
        } else {
            name += next;
        }
    }
    return name;
}

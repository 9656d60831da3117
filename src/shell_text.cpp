#include "shell_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

// C varargs rather than a template, so that the compiler checks every format
// against its arguments.
std::string format_text(const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    va_list args;
    va_start(args, format);
    // The analyzer does not see the va_start above.
    int length = vsnprintf(nullptr, 0, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    va_start(args, format);
    vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

std::string escape_single_quotes(const std::string &text)
{
    std::string escaped;
    for (char c : text)
        if (c == '\'')
            escaped += "'\\''";
        else
            escaped += c;
    return escaped;
}

std::string literal_pattern(const char *name, char delimiter)
{
    std::string pattern;
    for (const char *p = name; *p != '\0'; p++) {
        if (p == name && *p == '-') {
            pattern += "[-]";
            continue;
        }
        if (strchr("\\.*[^$", *p) != nullptr || (delimiter != '\0' && *p == delimiter))
            pattern += '\\';
        pattern += *p;
    }
    return pattern;
}

namespace {

// ASCII only, whatever the locale: these are the bytes a shell word needs no
// quoting for.
bool is_letter_or_digit(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_one_of(char c, const char *set)
{
    return c != '\0' && strchr(set, c) != nullptr;
}

} // namespace

std::string find_start_word(const char *dir)
{
    std::string word = dir;
    // find reads a leading -, ! or ( as the start of its expression: -delete
    // would delete the working directory's tree.
    if (!word.empty() && !is_letter_or_digit(word[0]) && !is_one_of(word[0], "/._"))
        word = "./" + word;
    bool plain = !word.empty();
    for (char c : word)
        if (!is_letter_or_digit(c) && !is_one_of(c, "@%+=:,./_-"))
            plain = false;
    if (plain)
        return word;
    return "'" + escape_single_quotes(word) + "'";
}

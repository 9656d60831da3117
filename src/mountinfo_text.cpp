#include "mountinfo_text.h"

namespace {

bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

} // namespace

std::string decode_mountinfo_path(const std::string &field)
{
    std::string path;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3'
            && is_octal(field[i + 2]) && is_octal(field[i + 3])) {
            path += static_cast<char>(
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

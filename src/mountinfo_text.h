#ifndef VARNEX_MOUNTINFO_TEXT_H
#define VARNEX_MOUNTINFO_TEXT_H

#include <string>

// A path field of /proc/self/mountinfo as the bytes it stands for. The kernel
// writes a blank, tab, newline or backslash there as a backslash and exactly
// three octal digits; "\0401" is a blank and then "1".
std::string decode_mountinfo_path(const std::string &field);

#endif

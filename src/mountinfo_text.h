#ifndef VARNEX_MOUNTINFO_TEXT_H
#define VARNEX_MOUNTINFO_TEXT_H

#include <string>
#include <vector>

// A line of /proc/self/mountinfo.
struct MountLine {
    unsigned long id;
    std::string device;
    std::string root; // of the mount, in its file system
    std::string path;
    std::string type;
};

// A path field of /proc/self/mountinfo as the bytes it stands for. The kernel
// writes a blank, tab, newline or backslash there as a backslash and exactly
// three octal digits; "\0401" is a blank and then "1".
std::string decode_mountinfo_path(const std::string &field);

// The lines of /proc/self/mountinfo into mounts; false if it cannot be read.
bool read_mountinfo(std::vector<MountLine> &mounts);

// Where path, which lies at or below mount's point, lies in the mount's file
// system: "/" for its root. A directory bound at two places has one.
std::string path_in_file_system(const MountLine &mount, const std::string &path);

#endif

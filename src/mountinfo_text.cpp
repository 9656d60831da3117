#include "mountinfo_text.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

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

bool read_mountinfo(std::vector<MountLine> &mounts)
{
    std::ifstream in("/proc/self/mountinfo");
    if (!in)
        return false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, field;
        fields >> id >> parent >> device >> root >> point;
        // Optional fields, then "-", then the file system type.
        while (fields >> field && field != "-") { }
        std::string type;
        fields >> type;
        mounts.push_back({std::strtoul(id.c_str(), nullptr, 10), device,
            decode_mountinfo_path(root), decode_mountinfo_path(point), type});
    }
    return true;
}

std::string path_in_file_system(const MountLine &mount, const std::string &path)
{
    std::string within = mount.root == "/" ? "" : mount.root;
    if (mount.path != "/")
        within += path.substr(mount.path.size());
    else if (path != "/")
        within += path;
    return within.empty() ? "/" : within;
}

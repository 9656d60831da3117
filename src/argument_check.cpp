#include "argument_check.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "command_runner.h"
#include "mountinfo_text.h"
#include "shell_text.h"

// find -H would take such an argument as the file it points to, and sed
// would replace the link by a plain copy.
bool is_link_to_non_directory(const char *path)
{
    struct stat link_status { };
    struct stat target_status { };
    return lstat(path, &link_status) == 0 && S_ISLNK(link_status.st_mode)
        && (stat(path, &target_status) != 0 || !S_ISDIR(target_status.st_mode));
}

namespace {

// Whether inner is outer or lies below it; both are resolved paths.
bool holds(const std::string &outer, const std::string &inner)
{
    if (inner.compare(0, outer.size(), outer) != 0)
        return false;
    return inner.size() == outer.size() || outer == "/" || inner[outer.size()] == '/';
}

// Whether one of paths is path, lies above it or below it, in a few look-ups
// rather than a comparison with each: the paths below a directory are the
// ones that begin with its name and a slash, and they sort together.
bool overlaps_any(const std::set<std::string> &paths, const std::string &path)
{
    std::string below = path == "/" ? path : path + "/";
    auto next = paths.lower_bound(below);
    if (next != paths.end() && next->compare(0, below.size(), below) == 0)
        return true;
    if (paths.count("/") != 0 || paths.count(path) != 0)
        return true;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        if (paths.count(path.substr(0, slash)) != 0)
            return true;
    return false;
}

// An argument that find will search, and the places of file systems it
// reaches (see refuse_overlapping_mounts).
struct Searched {
    const char *text;
    std::string resolved;
    std::pair<dev_t, ino_t> inode;
    unsigned long mount_id; // 0 when the kernel does not tell
    std::vector<std::string> places;
};

// The place of path below a mount, as "/<device><path in its file system>",
// so that the places of one file system hold each other as their paths do.
std::string place_of(const MountLine &mount, const std::string &path)
{
    std::string within = path_in_file_system(mount, path);
    return "/" + mount.device + (within == "/" ? "" : within);
}

bool reaches(const Searched &argument, const std::string &place)
{
    return std::any_of(argument.places.begin(), argument.places.end(),
        [&](const std::string &own) { return holds(own, place) || holds(place, own); });
}

[[noreturn]] void refuse_overlap(const char *earlier, const char *later)
{
    std::string message
        = format_text("directories '%s' and '%s' overlap: a file in both would be renamed twice.\n",
            earlier, later);
    exit_with_message(message.c_str());
}

// The arguments that find will search, resolved as it will reach them. One
// that exists but cannot be resolved (a working directory unmounted, or left
// in another mount namespace) cannot be compared with the others, and ends
// the rename. What does not exist, or is left alone, is never searched.
std::vector<Searched> resolve_arguments(int argc, char *argv[])
{
    std::vector<Searched> searched;
    for (int i = 2; i < argc; i++) {
        if (is_link_to_non_directory(argv[i]))
            continue;
        char buffer[PATH_MAX];
        struct statx status { };
        if (realpath(argv[i], buffer) == nullptr
            || statx(AT_FDCWD, buffer, 0, STATX_INO | STATX_MNT_ID, &status) != 0) {
            const char *reason = strerror(errno);
            struct stat link_status { };
            if (lstat(argv[i], &link_status) != 0)
                continue;
            exit_with_message(
                format_text("'%s' exists but cannot be resolved: %s.\n", argv[i], reason).c_str());
        }
        searched.push_back(
            {argv[i], buffer, {makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino},
                (status.stx_mask & STATX_MNT_ID) != 0 ? status.stx_mnt_id : 0, {}});
    }
    return searched;
}

// A file that the sweep reaches twice gets the replacement twice, which
// turns node1 into node100 when the new name is node10. So two arguments
// that find reaches the same files through (the same tree twice, a link and
// its target, one inside the other) end the rename before it begins. A shell
// glob can give thousands of arguments: each is compared with all the
// earlier ones only to name the one it overlaps.
void refuse_overlapping_paths(const std::vector<Searched> &searched)
{
    std::set<std::string> paths;
    for (size_t i = 0; i < searched.size(); i++) {
        const std::string &resolved = searched[i].resolved;
        if (overlaps_any(paths, resolved))
            for (size_t j = 0; j < i; j++)
                if (holds(searched[j].resolved, resolved) || holds(resolved, searched[j].resolved))
                    refuse_overlap(searched[j].text, searched[i].text);
        paths.insert(resolved);
    }
}

// Mounts join trees that paths keep apart: one directory bound at two places
// given, or bound inside another tree given. What an argument reaches is its
// own place and that of every mount below it; mounts are read once, and no
// tree is walked.
void refuse_overlapping_mounts(std::vector<Searched> &searched)
{
    std::map<std::pair<dev_t, ino_t>, size_t> inodes;
    for (size_t i = 0; i < searched.size(); i++) {
        auto [same, inserted] = inodes.emplace(searched[i].inode, i);
        if (!inserted)
            refuse_overlap(searched[same->second].text, searched[i].text);
    }
    // Without /proc there are no mounts, and only paths and inodes are compared.
    std::vector<MountLine> lines;
    read_mountinfo(lines);
    std::map<unsigned long, const MountLine *> mounts;
    for (const MountLine &line : lines)
        mounts[line.id] = &line;
    std::map<std::string, size_t> by_path;
    for (size_t i = 0; i < searched.size(); i++) {
        by_path.emplace(searched[i].resolved, i);
        auto mount = mounts.find(searched[i].mount_id);
        if (mount != mounts.end() && holds(mount->second->path, searched[i].resolved))
            searched[i].places.push_back(place_of(*mount->second, searched[i].resolved));
    }
    // The closest argument above a mount reaches it: arguments that hold
    // one another are refused already, so there is one at most. "/" holds
    // every other argument, so it is never one of several here.
    for (const MountLine &mount : lines) {
        for (size_t slash = mount.path.rfind('/'); slash != std::string::npos && slash > 0;
             slash = mount.path.rfind('/', slash - 1)) {
            auto owner = by_path.find(mount.path.substr(0, slash));
            if (owner != by_path.end()) {
                searched[owner->second].places.push_back(place_of(mount, mount.path));
                break;
            }
        }
    }
    std::set<std::string> places;
    for (size_t i = 0; i < searched.size(); i++) {
        for (const std::string &place : searched[i].places)
            if (overlaps_any(places, place))
                for (size_t j = 0; j < i; j++)
                    if (reaches(searched[j], place))
                        refuse_overlap(searched[j].text, searched[i].text);
        places.insert(searched[i].places.begin(), searched[i].places.end());
    }
}

} // namespace

void refuse_overlapping_arguments(int argc, char *argv[])
{
    std::vector<Searched> searched = resolve_arguments(argc, argv);
    refuse_overlapping_paths(searched);
    if (searched.size() > 1)
        refuse_overlapping_mounts(searched);
}

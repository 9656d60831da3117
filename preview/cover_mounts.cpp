#include "cover_mounts.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "mountinfo_text.h"
#include "path_text.h"
#include "sys_util.h"

namespace {

// The mount visible at path, and what path is there. Neither autofs, which
// would mount what it stands for, nor nsfs is looked into.
PathLook look_at(const std::string &path, const std::map<unsigned long, std::string> &types)
{
    PathLook look;
    struct statx stx = {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &stx)
        != 0)
        look.error = errno;
    else if ((stx.stx_mask & STATX_MNT_ID) != 0)
        look.mount_id = stx.stx_mnt_id;
    auto type = types.find(look.mount_id);
    if (type != types.end() && (type->second == "autofs" || type->second == "nsfs"))
        return look;
    struct stat st = {};
    struct statvfs fs = {};
    if (lstat(path.c_str(), &st) != 0 || statvfs(path.c_str(), &fs) != 0)
        return look;
    look.kind = S_ISDIR(st.st_mode) ? PathLook::directory
        : S_ISREG(st.st_mode)       ? PathLook::regular
                                    : PathLook::other;
    look.read_only = (fs.f_flag & ST_RDONLY) != 0;
    return look;
}

} // namespace

CoverFacts gather_cover_facts(const std::vector<std::string> &trees)
{
    CoverFacts facts;
    facts.trees = trees;
    char resolved[PATH_MAX];
    if (realpath("/etc/hostname", resolved) != nullptr)
        facts.hostname_file = resolved;
    if (!read_mountinfo(facts.mounts))
        fail(with_errno("cannot read /proc/self/mountinfo"));
    std::map<unsigned long, std::string> types;
    for (const MountLine &mount : facts.mounts)
        types[mount.id] = mount.type;
    std::vector<std::string> paths = trees;
    for (const MountLine &mount : facts.mounts)
        for (const std::string &tree : trees)
            if (is_within(mount.path, tree) && mount.path != tree)
                paths.push_back(mount.path);
    for (const std::string &path : paths)
        facts.looks.try_emplace(path, look_at(path, types));
    return facts;
}

namespace {

// A copy of the file at from, with its owner and mode, never through a link
// nor from a FIFO.
void copy_with_owner(const std::string &from, const std::string &to)
{
    struct stat st = {};
    if (stat(from.c_str(), &st) != 0 || !copy_file(AT_FDCWD, from, AT_FDCWD, to)
        || chown(to.c_str(), st.st_uid, st.st_gid) != 0
        || chmod(to.c_str(), st.st_mode & 07777) != 0)
        fail(with_errno("cannot copy " + diff_quoted(from)));
}

} // namespace

// A bind of a sealed mount is sealed too.
void take_host_views(std::vector<Cover> &covers)
{
    for (size_t i = 0; i < covers.size(); i++) {
        Cover &cover = covers[i];
        std::string dir = cover_dir(i);
        std::string shown = diff_quoted(cover.path);
        check(mkdir(dir.c_str(), 0700), "cannot use the scratch tmpfs");
        switch (cover.action) {
        case Cover::overlay:
            for (const char *sub : {"/lower", "/upper", "/work", "/before", "/view"})
                check(mkdir((dir + sub).c_str(), 0755), "cannot use the scratch tmpfs");
            check(mount(cover.path.c_str(), (dir + "/lower").c_str(), nullptr, MS_BIND, nullptr),
                "cannot take the view of " + shown);
            break;
        case Cover::copy:
            check(mkdir((dir + "/before").c_str(), 0755), "cannot use the scratch tmpfs");
            check(mkdir((dir + "/upper").c_str(), 0755), "cannot use the scratch tmpfs");
            copy_with_owner(cover.path, dir + "/before/file");
            copy_with_owner(cover.path, dir + "/upper/file");
            break;
        case Cover::bind_again: {
            // Whatever it is, it is bound, never opened.
            std::string lower = dir + "/lower";
            struct stat st = {};
            bool is_dir = lstat(cover.path.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
            int made
                = is_dir ? mkdir(lower.c_str(), 0755) : mknod(lower.c_str(), S_IFREG | 0600, 0);
            // One the preview cannot look at, it cannot bind either: it
            // stays hidden under the mount above it.
            if (made != 0
                || mount(cover.path.c_str(), lower.c_str(), nullptr, MS_BIND, nullptr) != 0)
                cover.action = Cover::leave;
            break;
        }
        case Cover::second_view:
            // A file's is compared as a copy's once varnex has ended.
            if (cover.file) {
                check(mkdir((dir + "/before").c_str(), 0755), "cannot use the scratch tmpfs");
                check(mkdir((dir + "/upper").c_str(), 0755), "cannot use the scratch tmpfs");
                copy_with_owner(cover.path, dir + "/before/file");
            }
            break;
        case Cover::leave:
            break;
        }
    }
}

void take_second_view_files(std::vector<Cover> &covers)
{
    for (size_t i = 0; i < covers.size(); i++) {
        if (covers[i].action != Cover::second_view || !covers[i].file)
            continue;
        copy_with_owner(covers[i].path, cover_dir(i) + "/upper/file");
        covers[i].action = Cover::copy;
    }
}

// In the plan's order: each cover once the one it lies in, and the overlay
// a second view is bound from, are in place.
void mount_covers(std::vector<Cover> &covers)
{
    for (size_t i = 0; i < covers.size(); i++) {
        Cover &cover = covers[i];
        std::string dir = cover_dir(i);
        std::string shown = diff_quoted(cover.path);
        switch (cover.action) {
        case Cover::overlay: {
            std::string options = "lowerdir=" + dir;
            options += "/lower,upperdir=" + dir;
            options += "/upper,workdir=" + dir;
            options += "/work";
            if (mount("varnex-preview", cover.path.c_str(), "overlay", MS_NOSUID | MS_NODEV,
                    options.c_str())
                == 0)
                break;
            // A kernel file system below a tree (the /proc of a chroot) is
            // no lower layer for overlayfs. It stays, read-only: the host's
            // view taken for the overlay is bound again.
            if (cover.tree)
                fail(with_errno("cannot overlay " + shown));
            cover.action = Cover::bind_again;
            [[fallthrough]];
        }
        case Cover::bind_again:
            check(mount((dir + "/lower").c_str(), cover.path.c_str(), nullptr, MS_BIND, nullptr),
                "cannot keep " + shown);
            break;
        case Cover::copy:
            check(
                mount((dir + "/upper/file").c_str(), cover.path.c_str(), nullptr, MS_BIND, nullptr),
                "cannot cover " + shown);
            break;
        case Cover::second_view: {
            // From the overlay's own view, which no later mount hides.
            std::string from = cover_dir(cover.source) + "/view" + cover.within;
            check(mount(from.c_str(), cover.path.c_str(), nullptr, MS_BIND, nullptr),
                "cannot show " + shown + " again");
            if (cover.read_only)
                check(mount(nullptr, cover.path.c_str(), nullptr,
                          MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr),
                    "cannot keep " + shown + " read-only");
            break;
        }
        case Cover::leave:
            break;
        }
        if (cover.viewed)
            check(mount(cover.path.c_str(), (dir + "/view").c_str(), nullptr, MS_BIND, nullptr),
                "cannot take the view of " + shown);
    }
}

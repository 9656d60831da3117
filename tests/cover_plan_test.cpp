#include "cover_plan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

namespace {

PathLook dir(unsigned long mount_id, bool read_only = false)
{
    return {mount_id, 0, PathLook::directory, read_only};
}

PathLook file(unsigned long mount_id, bool read_only = false)
{
    return {mount_id, 0, PathLook::regular, read_only};
}

// One line a cover, in the plan's order: its action, path and details.
std::string plan_text(const CoverPlan &plan)
{
    if (!plan.refusal.empty())
        return plan.refusal + "\n";
    const char *const names[] = {"overlay", "copy", "leave", "bind again", "second view"};
    std::string text;
    for (const Cover &cover : plan.covers) {
        text += names[cover.action] + (" " + cover.path);
        if (cover.tree)
            text += " tree";
        if (cover.action == Cover::second_view)
            text += " from " + plan.covers.at(cover.source).path + cover.within;
        if (cover.read_only)
            text += " read-only";
        if (cover.file)
            text += " file";
        if (cover.viewed)
            text += " viewed";
        text += "\n";
    }
    return text;
}

const MountLine root_fs = {1, "8:1", "/", "/", "ext4"};

TEST(PlanCovers, GivesEachCoverOneActionInMountOrder)
{
    const struct {
        const char *what;
        std::vector<std::string> trees;
        std::vector<MountLine> mounts;
        std::map<std::string, PathLook> looks;
        std::string covers;
    } cases[] = {
        {"a writable directory is overlaid", {"/srv"}, {root_fs}, {{"/srv", dir(1)}},
            "overlay /srv tree\n"},
        {"a read-only directory is left, and what lies in it", {"/srv"},
            {root_fs, {2, "0:40", "/", "/srv/t", "tmpfs"}},
            {{"/srv", dir(1, true)}, {"/srv/t", dir(2, true)}}, "leave /srv tree\nleave /srv/t\n"},
        {"a writable mount below a tree is overlaid after it", {"/srv"},
            {root_fs, {2, "0:40", "/", "/srv/app/mnt", "tmpfs"}},
            {{"/srv", dir(1)}, {"/srv/app/mnt", dir(2)}},
            "overlay /srv tree\noverlay /srv/app/mnt\n"},
        {"/etc/hostname on a writable mount of its own is copied", {"/etc"},
            {root_fs, {2, "8:1", "/srv/h", "/etc/hostname", "ext4"}},
            {{"/etc", dir(1)}, {"/etc/hostname", file(2)}},
            "overlay /etc tree\ncopy /etc/hostname\n"},
        {"/etc/hostname bound from a file in a tree is a second view of it", {"/etc", "/srv"},
            {root_fs, {2, "8:1", "/srv/h.conf", "/etc/hostname", "ext4"}},
            {{"/etc", dir(1)}, {"/srv", dir(1)}, {"/etc/hostname", file(2)}},
            "overlay /etc tree\noverlay /srv tree viewed\nsecond view /etc/hostname from "
            "/srv/h.conf file\n"},
        {"/etc/hostname on a read-only mount is kept under the overlay", {"/etc"},
            {root_fs, {2, "8:1", "/srv/h", "/etc/hostname", "ext4"}},
            {{"/etc", dir(1)}, {"/etc/hostname", file(2, true)}},
            "overlay /etc tree\nbind again /etc/hostname\n"},
        {"any other file mount is kept under the overlay", {"/etc"},
            {root_fs, {2, "8:1", "/srv/h", "/etc/hosts", "ext4"}},
            {{"/etc", dir(1)}, {"/etc/hosts", file(2)}},
            "overlay /etc tree\nbind again /etc/hosts\n"},
        {"a FIFO bound onto a file is kept under the overlay", {"/srv"},
            {root_fs, {2, "0:40", "/fifo", "/srv/x.pipe", "tmpfs"}},
            {{"/srv", dir(1)}, {"/srv/x.pipe", {2, 0, PathLook::other, false}}},
            "overlay /srv tree\nbind again /srv/x.pipe\n"},
        {"a read-only mount of its own below an overlay is kept under it", {"/srv"},
            {root_fs, {2, "0:40", "/", "/srv/ro", "tmpfs"}},
            {{"/srv", dir(1)}, {"/srv/ro", dir(2, true)}},
            "overlay /srv tree\nbind again /srv/ro\n"},
        {"autofs is kept, whatever it looks like", {"/srv"},
            {root_fs, {2, "0:41", "/", "/srv/auto", "autofs"}},
            {{"/srv", dir(1)}, {"/srv/auto", dir(2)}}, "overlay /srv tree\nbind again /srv/auto\n"},
        {"nsfs is kept, whatever it looks like", {"/srv"},
            {root_fs, {2, "0:4", "net:[1]", "/srv/ns", "nsfs"}},
            {{"/srv", dir(1)}, {"/srv/ns", dir(2)}}, "overlay /srv tree\nbind again /srv/ns\n"},
        {"a mount the preview may not look at is kept", {"/srv"},
            {root_fs, {2, "0:42", "/", "/srv/secret/m", "fuse"}},
            {{"/srv", dir(1)}, {"/srv/secret/m", {0, EACCES, PathLook::unseen, false}}},
            "overlay /srv tree\nbind again /srv/secret/m\n"},
        {"an autofs the preview may not look at has no cover", {"/srv"},
            {root_fs, {2, "0:41", "/", "/srv/secret/a", "autofs"}},
            {{"/srv", dir(1)}, {"/srv/secret/a", {0, EACCES, PathLook::unseen, false}}},
            "overlay /srv tree\n"},
        {"a mount hidden under a later one has no cover", {"/srv"},
            {root_fs, {2, "0:40", "/", "/srv/m", "tmpfs"}, {3, "0:41", "/", "/srv/m", "tmpfs"}},
            {{"/srv", dir(1)}, {"/srv/m", dir(3)}}, "overlay /srv tree\noverlay /srv/m\n"},
        {"a mount point that is gone has no cover", {"/srv"},
            {root_fs, {2, "0:40", "/", "/srv/gone", "tmpfs"}},
            {{"/srv", dir(1)}, {"/srv/gone", {0, ENOENT, PathLook::unseen, false}}},
            "overlay /srv tree\n"},
        {"the same directory twice: a second view of the first", {"/srv/a", "/srv/b"},
            {root_fs, {2, "8:1", "/srv/a", "/srv/b", "ext4"},
                {3, "0:40", "/", "/srv/b/t", "tmpfs"}},
            {{"/srv/a", dir(1)}, {"/srv/b", dir(2)}, {"/srv/b/t", dir(3, true)}},
            "overlay /srv/a tree viewed\nsecond view /srv/b tree from /srv/a\n"
            "bind again /srv/b/t\n"},
        {"a second view from the widest overlay, mounted after it", {"/srv/a", "/srv/b"},
            {root_fs, {2, "8:1", "/srv/a", "/srv/a", "ext4"}, {3, "8:1", "/srv", "/srv/b", "ext4"}},
            {{"/srv/a", dir(2)}, {"/srv/b", dir(3)}},
            "overlay /srv/b tree viewed\nsecond view /srv/a tree from /srv/b/a\n"},
        {"of equal overlays, the first", {"/srv/a", "/srv/b", "/srv/c"},
            {root_fs, {2, "8:1", "/x", "/srv/a", "ext4"}, {3, "8:1", "/x", "/srv/b", "ext4"},
                {4, "8:1", "/x", "/srv/c", "ext4"}},
            {{"/srv/a", dir(2)}, {"/srv/b", dir(3)}, {"/srv/c", dir(4)}},
            "overlay /srv/a tree viewed\nsecond view /srv/b tree from /srv/a\n"
            "second view /srv/c tree from /srv/a\n"},
        {"a read-only second view", {"/srv/rw"},
            {root_fs, {2, "8:1", "/srv/rw/ro", "/srv/rw/ro", "ext4"}},
            {{"/srv/rw", dir(1)}, {"/srv/rw/ro", dir(2, true)}},
            "overlay /srv/rw tree viewed\nsecond view /srv/rw/ro from /srv/rw/ro read-only\n"},
        {"a view inside its own source is refused", {"/mnt/v"},
            {root_fs, {2, "8:1", "/d/e", "/mnt/v", "ext4"}, {3, "8:1", "/d", "/mnt/v/w", "ext4"}},
            {{"/mnt/v", dir(2)}, {"/mnt/v/w", dir(3)}},
            "cannot preview /mnt/v: it is shown again inside the mount it would be bound from\n"},
    };
    for (const auto &c : cases) {
        CoverFacts facts{c.trees, "/etc/hostname", c.mounts, c.looks};
        EXPECT_EQ(plan_text(plan_covers(facts)), c.covers) << c.what;
    }
}

} // namespace

#include "cover_plan.h"

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include "path_text.h"

namespace {

// A cover as the host shows it, before the covers are weighed together,
// with where its files lie: the device of their file system and the path
// within it. No device for what the preview cannot look at.
struct Seen {
    Cover cover;
    bool read_only = false; // a directory on a read-only mount
    std::string device;
    std::string within;
};

// By the mount visible at path: never a file that is not a regular file or
// a directory, which the preview must not open, nor one it cannot look at.
// sed -i cannot rename a new file over a mount point, so the only file
// mounted on its own that varnex can change is the one echo writes in
// place, /etc/hostname; any other stays read-only, and unread.
Seen seen_at(const std::string &path, const MountLine *mount, const PathLook &look,
    const std::string &hostname_file)
{
    Seen seen;
    seen.cover.path = path;
    if (mount != nullptr) {
        seen.device = mount->device;
        seen.within = path_in_file_system(*mount, path);
    }
    const std::string type = mount != nullptr ? mount->type : "";
    if (type == "autofs" || type == "nsfs" || look.kind == PathLook::unseen)
        return seen;
    if (look.kind == PathLook::directory) {
        seen.cover.action = look.read_only ? Cover::leave : Cover::overlay;
        seen.read_only = look.read_only;
    } else if (look.kind == PathLook::regular && path == hostname_file && !look.read_only) {
        seen.cover.action = Cover::copy;
    }
    return seen;
}

// Each tree, and each mount visible below one, in byte order, so that every
// cover comes after the one it lies in. A mount hidden under a later one is
// out of varnex's reach; one the preview may not look at is left as it is.
std::vector<Seen> seen_covers(const CoverFacts &facts)
{
    std::map<unsigned long, const MountLine *> by_id;
    for (const MountLine &mount : facts.mounts)
        by_id[mount.id] = &mount;
    auto look_at = [&facts](const std::string &path) {
        auto found = facts.looks.find(path);
        return found == facts.looks.end() ? PathLook{} : found->second;
    };
    std::vector<Seen> seen;
    for (const std::string &tree : facts.trees) {
        PathLook look = look_at(tree);
        auto found = by_id.find(look.mount_id);
        seen.push_back(seen_at(
            tree, found == by_id.end() ? nullptr : found->second, look, facts.hostname_file));
        seen.back().cover.tree = true;
    }
    for (const MountLine &mount : facts.mounts) {
        bool below = false;
        for (const std::string &tree : facts.trees)
            below = below || (is_within(mount.path, tree) && mount.path != tree);
        if (!below)
            continue;
        PathLook look = look_at(mount.path);
        if (look.mount_id == mount.id)
            seen.push_back(seen_at(mount.path, &mount, look, facts.hostname_file));
        else if (look.mount_id == 0 && look.error == EACCES && mount.type != "autofs")
            seen.push_back(seen_at(mount.path, nullptr, PathLook{}, ""));
    }
    std::stable_sort(seen.begin(), seen.end(),
        [](const Seen &a, const Seen &b) { return a.cover.path < b.cover.path; });
    return seen;
}

// A directory reached through two mounts (bound a second time, or two
// trees given by names that resolve apart) holds one set of files, and a
// file reached twice is changed twice, or read as changed through a
// read-only view. So each such view is bound from one overlay: the widest
// that holds it, and of equal ones the first. So is /etc/hostname mounted
// from a file in a tree: echo writes that file, which the sweep then edits.
void find_second_views(std::vector<Seen> &seen)
{
    const size_t none = seen.size();
    std::vector<size_t> sources(seen.size(), none);
    for (size_t i = 0; i < seen.size(); i++) {
        const Seen &view = seen[i];
        if (view.device.empty()
            || !(view.cover.action == Cover::overlay || view.cover.action == Cover::copy
                || (view.cover.action == Cover::leave && view.read_only)))
            continue;
        size_t &best = sources[i];
        for (size_t j = 0; j < seen.size(); j++) {
            if (j == i || seen[j].cover.action != Cover::overlay || seen[j].device != view.device
                || !is_within(view.within, seen[j].within))
                continue;
            size_t width = seen[j].within.size();
            if (best == none || width < seen[best].within.size()
                || (width == seen[best].within.size() && j < best))
                best = j;
        }
        if (best != none && view.cover.action == Cover::overlay && best > i
            && seen[best].within == view.within)
            best = none;
    }
    for (size_t i = 0; i < seen.size(); i++) {
        if (sources[i] == none)
            continue;
        const std::string &outer = seen[sources[i]].within;
        Cover &cover = seen[i].cover;
        cover.file = cover.action == Cover::copy;
        cover.action = Cover::second_view;
        cover.source = sources[i];
        cover.within = seen[i].within.substr(outer == "/" ? 0 : outer.size());
        cover.read_only = seen[i].read_only;
        seen[sources[i]].cover.viewed = true;
    }
}

// The cover that each one lies in, if any: in byte order the nearest
// earlier one that holds it.
std::vector<size_t> parents_of(const std::vector<Seen> &seen)
{
    std::vector<size_t> parents(seen.size(), seen.size());
    for (size_t i = 0; i < seen.size(); i++)
        for (size_t j = i; j-- > 0;)
            if (is_within(seen[i].cover.path, seen[j].cover.path)) {
                parents[i] = j;
                break;
            }
    return parents;
}

} // namespace

CoverPlan plan_covers(const CoverFacts &facts)
{
    std::vector<Seen> seen = seen_covers(facts);
    find_second_views(seen);
    // Each after the one it lies in, and a second view after the overlay it
    // is bound from; else in byte order. What is left as it is, under a
    // mount made above it, is bound again over that.
    const size_t none = seen.size();
    std::vector<size_t> parents = parents_of(seen);
    std::vector<std::vector<size_t>> next(seen.size());
    std::vector<int> waiting(seen.size(), 0);
    for (size_t i = 0; i < seen.size(); i++) {
        Cover &cover = seen[i].cover;
        if (size_t parent = parents[i]; parent != none) {
            next[parent].push_back(i);
            waiting[i]++;
            if (cover.action == Cover::leave && seen[parent].cover.action != Cover::leave)
                cover.action = Cover::bind_again;
        }
        if (cover.action == Cover::second_view) {
            next[cover.source].push_back(i);
            waiting[i]++;
        }
    }
    std::set<size_t> ready;
    for (size_t i = 0; i < seen.size(); i++)
        if (waiting[i] == 0)
            ready.insert(i);
    std::vector<size_t> order;
    while (!ready.empty()) {
        size_t i = *ready.begin();
        ready.erase(ready.begin());
        order.push_back(i);
        for (size_t later : next[i])
            if (--waiting[later] == 0)
                ready.insert(later);
    }
    CoverPlan plan;
    for (size_t i = 0; i < seen.size(); i++)
        if (waiting[i] != 0) {
            plan.refusal = "cannot preview " + diff_quoted(seen[i].cover.path)
                + ": it is shown again inside the mount it would be bound from";
            return plan;
        }
    std::vector<size_t> place(seen.size());
    for (size_t k = 0; k < order.size(); k++)
        place[order[k]] = k;
    for (size_t i : order) {
        plan.covers.push_back(std::move(seen[i].cover));
        if (plan.covers.back().action == Cover::second_view)
            plan.covers.back().source = place[plan.covers.back().source];
    }
    return plan;
}

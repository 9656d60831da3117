#ifndef VARNEX_PREVIEW_COVER_PLAN_H
#define VARNEX_PREVIEW_COVER_PLAN_H

#include <map>
#include <string>
#include <vector>

#include "cover.h"
#include "mountinfo_text.h"

// What statx, lstat and statvfs told of a path, as the host has it.
struct PathLook {
    enum Kind { unseen, directory, regular, other };
    unsigned long mount_id = 0; // visible there; 0 when statx failed
    int error = 0; // statx's errno then
    Kind kind = unseen; // unseen when lstat or statvfs failed, or were not asked
    bool read_only = false;
};

// All the plan is decided on.
struct CoverFacts {
    std::vector<std::string> trees;
    std::string hostname_file; // where /etc/hostname leads, or ""
    std::vector<MountLine> mounts;
    std::map<std::string, PathLook> looks; // each tree, and each mount point below one
};

// The covers in the order they are mounted, or why there can be none.
struct CoverPlan {
    std::vector<Cover> covers;
    std::string refusal;
};

// Each tree, and each mount visible below one, with its one action; each
// after the cover it lies in, and a second view after its overlay.
CoverPlan plan_covers(const CoverFacts &facts);

#endif

#ifndef VARNEX_PREVIEW_COVER_MOUNTS_H
#define VARNEX_PREVIEW_COVER_MOUNTS_H

#include <string>
#include <vector>

#include "cover.h"
#include "cover_plan.h"

// What the covers are planned on, as the host has it: each tree, and each
// mount point below one.
CoverFacts gather_cover_facts(const std::vector<std::string> &trees);

// What each cover needs in the scratch tmpfs before the first overlay hides
// anything: the host's view of it, or copies of a file.
void take_host_views(std::vector<Cover> &covers);

// Each cover's action, in the plan's order.
void mount_covers(std::vector<Cover> &covers);

// Once varnex has ended: what /etc/hostname, bound from a file an overlay
// shows, holds then, which the sweep may have edited since echo wrote it,
// is compared as a copy's is.
void take_second_view_files(std::vector<Cover> &covers);

#endif

#ifndef VARNEX_PREVIEW_SHOW_DIFF_H
#define VARNEX_PREVIEW_SHOW_DIFF_H

#include <string>
#include <vector>

#include "cover.h"

// What varnex changed under the covers that are not kept as they are, as
// one diff labelled with the host's paths: the host's side of each file in
// a cover's upper layer is copied to its before directory, without
// following links.
std::string diff_of_changes(const std::vector<Cover> &covers);

#endif

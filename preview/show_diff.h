#ifndef VARNEX_PREVIEW_SHOW_DIFF_H
#define VARNEX_PREVIEW_SHOW_DIFF_H

#include <functional>
#include <string>
#include <vector>

#include "sandbox.h"

// Adds to shown diff -r's output for before/ and upper/, with each name
// given as host_path(name below them) in diff's own quoting, and no
// timestamps. Returns false on a line it cannot read.
bool relabel_diff(const std::string &raw,
    const std::function<std::string(const std::string &)> &host_path, std::string &shown);

// What varnex changed under the covers that are not kept as they are, as
// one diff labelled with the host's paths: the host's side of each file in
// a cover's upper layer is copied to its before directory, without
// following links.
std::string show_changes(const std::vector<Cover> &covers);

#endif

#ifndef VARNEX_PREVIEW_SHOW_DIFF_H
#define VARNEX_PREVIEW_SHOW_DIFF_H

#include <functional>
#include <string>

#include "sandbox.h"

// Adds to shown diff -r's output for before/ and upper/, with each name
// given as host_path(name below them) in diff's own quoting, and no
// timestamps. Returns false on a line it cannot read.
bool relabel_diff(const std::string &raw,
    const std::function<std::string(const std::string &)> &host_path, std::string &shown);

// Adds to shown what varnex changed under cover, whose scratch directory is
// dir: the host's side of each file in dir/upper, copied to dir/before
// without following links, then one diff for the lot.
void show_cover(const Cover &cover, const std::string &dir, std::string &shown);

#endif

#ifndef VARNEX_PREVIEW_COVER_H
#define VARNEX_PREVIEW_COVER_H

#include <cstddef>
#include <string>

// What the sandbox does at a path that varnex may write to, a tree or a
// mount visible below one: one action, decided before anything is mounted.
struct Cover {
    enum Action {
        overlay, // a writable directory: the host's view below, scratch above
        copy, // /etc/hostname on a writable mount of its own: a scratch copy over it
        leave, // read-only, no directory or file to edit, or out of sight
        bind_again, // left as it is, but under a mount made above it: bound again
        second_view, // files an earlier overlay shows too: bound from its view
    };
    std::string path;
    Action action = leave;
    bool tree = false; // one of the trees, which the preview cannot do without
    bool viewed = false; // overlay: a second view is bound from it
    size_t source = 0; // second view: the overlay's place in the plan
    std::string within; // second view: where its files lie in that overlay
    bool read_only = false; // second view: read-only, as the host shows it
    bool file = false; // second view: /etc/hostname, bound from a file an overlay shows
};

// The writable trees of the sandbox's scratch tmpfs, one directory a cover.
inline constexpr char scratch_dir[] = "/dev/.varnex-preview";

// The scratch directory of the cover at index in the plan. An overlay's
// holds lower (the host's view, taken before anything is mounted), upper
// and work (overlayfs's own), before (the host's side of each changed file)
// and view (the overlay as mounted, for its second views); a copy's holds
// before/file and upper/file, as does a file's second view; a kept
// mount's, lower. The diff binds the
// changed ones' sides under scratch_dir/diff.
inline std::string cover_dir(size_t index)
{
    return std::string(scratch_dir) + "/" + std::to_string(index);
}

#endif

#ifndef VARNEX_PREVIEW_SANDBOX_H
#define VARNEX_PREVIEW_SANDBOX_H

#include <string>
#include <vector>

// What the preview does with a tree that varnex may write to, or a mount
// below one, decided by the mount that is visible there.
struct Cover {
    enum Kind {
        overlay, // a writable directory: the host's view below, scratch above
        copy, // a writable file mounted on its own: a scratch copy bound over it
        keep, // read-only, or not a file to edit: left as it is
        again, // files that an overlay shows too, through another mount
    };
    std::string path;
    Kind kind = keep;
    bool tree = false; // one of the trees, not a mount below one
    bool read_only = false; // a directory on a read-only mount
    bool bind_back = false; // kept, but hidden by an overlay above it until bound again
    size_t owner = 0; // again: the overlay they are bound from
    std::string within; // again: where they lie in it
    bool seen_again = false; // overlay: an again cover is bound from it
};

// The writable trees of the sandbox's scratch tmpfs, one directory a cover.
inline constexpr char scratch_dir[] = "/dev/.varnex-preview";

// The scratch directory of the cover at index in the covers' list.
std::string cover_dir(size_t index);

// Writes "varnex-preview: message" on stderr and exits with status 2.
[[noreturn]] void fail(const std::string &message);

// message, then ": " and what errno says.
std::string with_errno(const std::string &message);

// How the preview's output reaches the caller, as decided outside the
// sandbox, where the caller's descriptors are.
struct Streams {
    bool colour_diff = false; // standard output is a terminal
    bool colour_notes = false; // standard error is one
    bool relayed_out = false; // standard output is a pipe relayed to a terminal
    bool relayed_err = false; // so is standard error
};

// Runs varnex with args from cwd in a sealed sandbox, as the first process
// of its own PID namespace, then shows what it changed in trees. Exits with
// varnex's status, 128 + the signal that ended it, or 2.
[[noreturn]] void run_sandbox(const std::vector<std::string> &trees, const std::string &varnex,
    const std::vector<std::string> &args, const std::string &cwd, const Streams &streams);

#endif

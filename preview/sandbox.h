#ifndef VARNEX_PREVIEW_SANDBOX_H
#define VARNEX_PREVIEW_SANDBOX_H

#include <string>
#include <vector>

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

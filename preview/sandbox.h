#ifndef VARNEX_PREVIEW_SANDBOX_H
#define VARNEX_PREVIEW_SANDBOX_H

#include <string>
#include <vector>

// Runs varnex with args from cwd in a sealed sandbox, as the first process
// of its own PID namespace, then shows what it changed in trees. Exits with
// varnex's status, 128 + the signal that ended it, or 2.
[[noreturn]] void run_sandbox(const std::vector<std::string> &trees, const std::string &varnex,
    const std::vector<std::string> &args, const std::string &cwd);

#endif

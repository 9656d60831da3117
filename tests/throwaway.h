#ifndef VARNEX_THROWAWAY_H
#define VARNEX_THROWAWAY_H

#include <map>
#include <string>
#include <vector>

#include "test_util.h"

// Why throwaway UTS and mount namespaces cannot be made here, or "" if they can.
const std::string &sandbox_unavailable_reason();

struct SandboxRun {
    ProcessResult result;
    std::string kernel_name; // after the run
};

// Runs varnex with args in fresh UTS and mount namespaces, where base/t/etc
// is bound over /etc, the kernel name is old_name, and the working directory
// is base/t/cwd. setup is shell text run there first, with $root set to base/t;
// it may redefine run_varnex, which runs "$varnex" "$@", to change how varnex
// is started. as_nobody drops to user nobody for varnex itself.
SandboxRun run_in_sandbox(const std::string &base, const std::string &old_name,
    const std::vector<std::string> &args, const std::string &setup = "", bool as_nobody = false);

// Every file, directory and symbolic link below root, by relative path: file
// content, "<dir>", or "-> target".
std::map<std::string, std::string> snapshot(const std::string &root);

#endif

#include "throwaway.h"

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> unshare_command()
{
    std::vector<std::string> command = {"unshare", "--uts", "--mount", "--fork"};
    if (geteuid() != 0)
        command.insert(command.begin() + 1, "--map-root-user");
    return command;
}

const char sandbox_script[] = R"(
root=$1 varnex=$2 helper=$3 old=$4 setup=$5 as_nobody=$6 kernel_file=$7
shift 7
mount --make-rprivate / && mount --bind "$root/etc" /etc || exit 90
"$helper" set "$old" || exit 91
cd "$root/cwd" || exit 92
run_varnex() { "$varnex" "$@"; }
eval "$setup" || exit 93
if [ "$as_nobody" = yes ]; then
    # Another user reaches nothing below a mode-700 directory, such as root's
    # home, where the build tree may be.
    cp "$varnex" "$root/../varnex" && chmod 755 "$root/.." || exit 94
    setpriv --reuid=65534 --regid=65534 --clear-groups "$root/../varnex" "$@"
else
    run_varnex "$@"
fi
status=$?
"$helper" get > "$kernel_file"
exit $status
)";

} // namespace

const std::string &sandbox_unavailable_reason()
{
    static const std::string reason = [] {
        std::vector<std::string> probe = unshare_command();
        probe.emplace_back("true");
        std::string why;
        try {
            ProcessResult result = run_process(probe);
            if (result.status == 0)
                return why;
            why = result.err;
        } catch (const std::exception &e) {
            why = e.what();
        }
        return "end-to-end tests need throwaway UTS and mount namespaces, and '" + probe[0] + " "
            + probe[1] + " ...' failed: " + why;
    }();
    return reason;
}

SandboxRun run_in_sandbox(const std::string &base, const std::string &old_name,
    const std::vector<std::string> &args, const std::string &setup, bool as_nobody)
{
    std::string kernel_file = base + "/kernel_name";
    std::vector<std::string> command = unshare_command();
    command.insert(command.end(),
        {"bash", "-c", sandbox_script, "sandbox", base + "/t", VARNEX_BINARY, KERNEL_NAME_BINARY,
            old_name, setup, as_nobody ? "yes" : "no", kernel_file});
    command.insert(command.end(), args.begin(), args.end());
    SandboxRun run{run_process(command), ""};
    run.kernel_name = read_file(kernel_file);
    return run;
}

std::map<std::string, std::string> snapshot(const std::string &root)
{
    std::map<std::string, std::string> tree;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        std::string path = fs::relative(entry.path(), root).string();
        if (entry.is_symlink())
            tree[path] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            tree[path] = "<dir>";
        else
            tree[path] = read_file(entry.path().string());
    }
    return tree;
}

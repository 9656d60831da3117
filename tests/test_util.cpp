#include "test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

const char expected_usage[]
    = "\n"
      "USAGE:  varnex <new_hostname> [other dirs with conf files]\n"
      "\n"
      "\t<new_hostname> must be:\n"
      "\tat least one but no more that 63 characters,\n"
      "\tstarting with an alphabetic or digit character,\n"
      "\tfollowed by alphabetic, digit, or dash (-) characters.\n"
      "\n"
      "\t<new_hostname> must be different from current hosthame.\n"
      "\n"
      "\tChanges all occurances of current hostname to new hostname in /etc/hosts.\n"
      "\tWarns if current hostname is not present in /etc/hosts.\n"
      "\n"
      "\tIf other directory names are given, changes all\n"
      "\toccurances of current hostname to new hostname in all\n"
      "\t.conf files in those directories.\n"
      "\n"
      "\twrites all messages to STDERR.\n"
      "\n";

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

namespace {

// Every scratch directory of this process lies below this one, so that a
// signal that ends the tests leaves none of them behind. The handler may only
// make async-signal-safe calls, hence rm.
char scratch_root[PATH_MAX];

void remove_scratch_root_and_end(int signal_number)
{
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/rm", "rm", "-rf", "--", scratch_root, static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void remove_scratch_root()
{
    std::error_code ignored;
    std::filesystem::remove_all(scratch_root, ignored);
}

std::string make_scratch_root()
{
    std::string templ = (std::filesystem::temp_directory_path() / "varnex-test-XXXXXX").string();
    // Searchable by all: some rows run varnex as another user, from below it.
    if (mkdtemp(templ.data()) == nullptr || chmod(templ.c_str(), 0711) != 0)
        throw std::runtime_error("cannot make a scratch directory in " + templ);
    snprintf(scratch_root, sizeof scratch_root, "%s", templ.c_str());
    std::atexit(remove_scratch_root);
    // A signal the caller ignores stays ignored.
    for (int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
        struct sigaction old = {};
        if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
            signal(signal_number, remove_scratch_root_and_end);
    }
    return templ;
}

} // namespace

ScratchDir::ScratchDir()
{
    static const std::string root = make_scratch_root();
    std::string templ = root + "/XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ProcessResult run_process(const std::vector<std::string> &argv)
{
    ScratchDir capture;
    std::string out_path = capture.path() + "/out";
    std::string err_path = capture.path() + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    int status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return {read_file(out_path), read_file(err_path), status};
}

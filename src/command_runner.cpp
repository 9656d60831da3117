#include "command_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// The signal that ended a command when it was the user's interrupt, else 0.
int interrupt_of(int status)
{
    if (status == -1 || !WIFSIGNALED(status))
        return 0;
    int signal_number = WTERMSIG(status);
    return signal_number == SIGINT || signal_number == SIGQUIT ? signal_number : 0;
}

// system() ignores SIGINT and SIGQUIT in varnex while a command runs, so a
// Ctrl-C ends only the command. The user asked for all of it to stop, so
// varnex then ends itself by the same signal, and its caller sees an
// interrupt rather than a status of varnex's own.
void end_if_interrupted(int status)
{
    int interrupt = interrupt_of(status);
    if (interrupt == 0)
        return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, interrupt);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    signal(interrupt, SIG_DFL);
    raise(interrupt);
}

// Does nothing, so that a write to a pipe whose reader has gone fails with
// EPIPE instead of ending varnex midway. Unlike SIG_IGN, a caught signal is
// set back to its default by exec, so the commands still end on a dead pipe.
void ignore_broken_pipe(int /*signal_number*/)
{
}

} // namespace

int run_command(const char *command)
{
    // Announced before it starts, so that on a terminal the command's own
    // output follows its line.
    fprintf(stderr, "Running '%s'\n", command);
    return system(command); // NOLINT(cert-env33-c): running shell commands is this tool's job
}

void exit_with_message(const char *message)
{
    fprintf(stderr, "%s\n", message);
    exit(1);
}

// A failed step that the sequence goes on after.
void warn_of_failure(int status, const std::string &line)
{
    fputs(line.c_str(), stderr);
    end_if_interrupted(status);
}

// A failed step that ends the rename. Its line is followed by an empty line
// whether or not the user interrupted it; exit_with_message cannot write it
// then, since it would end varnex with status 1 instead of the signal.
[[noreturn]] void fail_with(int status, const std::string &line)
{
    if (interrupt_of(status) != 0) {
        fprintf(stderr, "%s\n", line.c_str());
        end_if_interrupted(status);
    }
    exit_with_message(line.c_str());
}

// What the commands inherit must not spoil them. A closed standard
// descriptor would be taken by the next file a command opens: grep could not
// print what it found, and a message could land inside a file sed edits.
// system() cannot wait for its shell while SIGCHLD is ignored. echo creates
// a missing /etc/hostname with the caller's umask, and it must be readable.
// grep and sed match bytes, which is what a literal match means, and not
// characters of a multibyte locale that an escaped pattern could split.
// Once the rename has begun, its own output must not cut it short: neither
// a dead pipe nor a log at its file-size limit. SIGXFSZ is ignored rather
// than caught, and the commands inherit that: a sed at the limit then fails
// with an error and removes its temporary file, where the signal would end
// it and leave the file behind.
void prepare_for_commands()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) == -1)
            exit_with_message("cannot open /dev/null for a closed standard descriptor.\n");
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, ignore_broken_pipe);
    signal(SIGXFSZ, SIG_IGN);
    umask(022);
    setenv("LC_ALL", "C", 1);
}

#include "sys_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void fail(const std::string &message)
{
    fprintf(stderr, "%s%s\n", message_prefix, message.c_str());
    exit(2);
}

std::string with_errno(const std::string &message)
{
    return message + ": " + strerror(errno);
}

void check(int result, const std::string &what)
{
    if (result != 0)
        fail(with_errno(what));
}

bool write_all(int fd, std::string_view text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

int wait_for(pid_t pid, const std::string &what)
{
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            fail(with_errno(what));
    return status;
}

bool copy_file(int from_dir, const std::string &from, int to_dir, const std::string &to)
{
    // Opened without waiting, then read as a regular file is.
    int in
        = openat(from_dir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (in == -1)
        return false;
    struct stat st = {};
    int flags = fcntl(in, F_GETFL);
    bool copied = fstat(in, &st) == 0 && flags != -1;
    if (copied && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        copied = false;
    }
    copied = copied && fcntl(in, F_SETFL, flags & ~O_NONBLOCK) == 0;
    int out
        = copied ? openat(to_dir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1;
    copied = out != -1;
    char buffer[65536];
    while (copied) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        copied = write_all(out, std::string_view(buffer, static_cast<size_t>(got)));
    }
    int saved = errno;
    close(in);
    if (out != -1 && close(out) != 0 && copied) {
        saved = errno;
        copied = false;
    }
    errno = saved;
    return copied;
}

int run_program(const char *program, char *const argv[], char *const env[], const std::string &dir,
    std::string &out, const std::string &what)
{
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0)
        fail(with_errno(what));
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) == 0 && dup2(pipe_ends[1], 1) == 1)
            execve(program, argv, env);
        _exit(127);
    }
    close(pipe_ends[1]);
    if (pid == -1)
        fail(with_errno(what));
    char buffer[65536];
    for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail(with_errno(what));
        out.append(buffer, static_cast<size_t>(got));
    }
    close(pipe_ends[0]);
    return wait_for(pid, what);
}

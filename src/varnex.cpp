#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_runner.h"
#include "hostname_rule.h"
#include "shell_text.h"

namespace {

// The spelling is the tool's own, and scripts may match on it.
const char usage_text[]
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
      "\twrites all messages to STDERR.\n";

// Some old names must be left where they stand. An empty one matches every
// line; "localhost" is what a machine is called before it has a name of its
// own, and replacing it would cut the loopback name out of /etc/hosts and
// out of every conf file; a control character (a newline above all) cannot
// be matched by a one-line pattern.
bool is_replaceable_name(const char *name)
{
    if (name[0] == '\0' || strcmp(name, "localhost") == 0)
        return false;
    for (const char *p = name; *p != '\0'; p++) {
        auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x20 || byte == 0x7f)
            return false;
    }
    return true;
}

// Each step runs only if the one before it succeeded, and nothing is undone:
// by the time /etc/hosts is edited the kernel name and /etc/hostname have
// already changed. Failures in the directories are warnings only.
[[noreturn]] void rename_host(
    const char *new_hostname, int argc, char *argv[], const char *usage_text)
{
    fprintf(stderr, "new_hostname is %s.\n", new_hostname);

    char old_hostname[128] = {};
    int status = gethostname(old_hostname, sizeof old_hostname);
    if (status != 0)
        exit_with_message(format_text("gethostname() failed with %d.\n", status).c_str());
    old_hostname[sizeof old_hostname - 1] = '\0';
    fprintf(stderr, "old_hostname is %s.\n", old_hostname);

    if (strcmp(old_hostname, new_hostname) == 0)
        exit_with_message(usage_text);

    status = sethostname(new_hostname, strlen(new_hostname));
    if (status != 0)
        exit_with_message(
            format_text("sethostname(%s) failed with %d.\n", new_hostname, status).c_str());

    std::string command_buffer = format_text("echo '%s' > /etc/hostname", new_hostname);
    status = run_command(command_buffer.c_str());
    if (status != 0)
        exit_with_message(
            format_text("echo '%s' > /etc/hostname failed with %d.\n", new_hostname, status)
                .c_str());

    if (!is_replaceable_name(old_hostname)) {
        fprintf(stderr, "existing hostname '%s' is not replaced in /etc/hosts or conf files.\n",
            old_hostname);
        exit(0);
    }
    // The kernel takes any bytes as a name, so the old one is matched
    // literally and kept inside the commands' single quotes.
    std::string grep_pattern = escape_single_quotes(literal_pattern(old_hostname, '\0'));
    std::string sed_pattern = escape_single_quotes(literal_pattern(old_hostname, '/'));

    command_buffer = format_text("grep '%s' /etc/hosts", grep_pattern.c_str());
    status = run_command(command_buffer.c_str());
    if (status != 0) {
        fprintf(
            stderr, "existing hostname '%s' not found in /etc/hosts, %d.\n", old_hostname, status);
    } else {
        command_buffer
            = format_text("sed -i 's/%s/%s/g' /etc/hosts", sed_pattern.c_str(), new_hostname);
        status = run_command(command_buffer.c_str());
        if (status != 0)
            exit_with_message(
                format_text("system(%s) failed with %d.\n", command_buffer.c_str(), status)
                    .c_str());
    }

    // Only regular files: sed would replace a symbolic link by a copy, and
    // GNU sed stops at a directory and skips the rest of its batch.
    for (int i = 2; i < argc; i++) {
        command_buffer
            = format_text("find %s -name '*conf' -type f -print0 | xargs -0 sed -i 's/%s/%s/g' ",
                find_start_word(argv[i]).c_str(), sed_pattern.c_str(), new_hostname);
        status = run_command(command_buffer.c_str());
        if (status != 0)
            fprintf(stderr, "system(%s) failed with %d.\n", command_buffer.c_str(), status);
    }
    exit(0);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc <= 1)
        exit_with_message(usage_text);
    const char *new_hostname = argv[1];
    if (is_valid_hostname(new_hostname) != 1)
        exit_with_message(usage_text);
    rename_host(new_hostname, argc, argv, usage_text);
}

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "argument_check.h"
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

// The steps run in the order varnex(8) numbers them. A fatal failure ends
// the rename and nothing is undone: by the time /etc/hosts is edited the
// kernel name and /etc/hostname have already changed. A failed grep only
// warns, and failures in the directories are warnings only.
[[noreturn]] void rename_host(const char *new_hostname, int argc, char *argv[], const char *usage)
{
    // 1. The two names; the same name again is a usage error.
    fprintf(stderr, "new_hostname is %s.\n", new_hostname);

    char old_hostname[128] = {};
    int status = gethostname(old_hostname, sizeof old_hostname);
    if (status != 0)
        exit_with_message(format_text("gethostname() failed with %d.\n", status).c_str());
    old_hostname[sizeof old_hostname - 1] = '\0';
    fprintf(stderr, "old_hostname is %s.\n", old_hostname);

    if (strcmp(old_hostname, new_hostname) == 0)
        exit_with_message(usage);

    // 2. Directories that would be searched twice, before anything changes.
    refuse_overlapping_arguments(argc, argv);

    // 3. The kernel name.
    status = sethostname(new_hostname, strlen(new_hostname));
    if (status != 0)
        exit_with_message(
            format_text("sethostname(%s) failed with %d.\n", new_hostname, status).c_str());

    // 4. /etc/hostname.
    std::string command_buffer = format_text("echo '%s' > /etc/hostname", new_hostname);
    status = run_command(command_buffer.c_str());
    if (status != 0)
        fail_with(status,
            format_text("echo '%s' > /etc/hostname failed with %d.\n", new_hostname, status));

    // A name that must be left where it stands ends the rename here.
    if (!is_replaceable_name(old_hostname)) {
        fprintf(stderr, "existing hostname '%s' is not replaced in /etc/hosts or conf files.\n",
            old_hostname);
        exit(0);
    }
    // The kernel takes any bytes as a name, so the old one is matched
    // literally and kept inside the commands' single quotes.
    std::string fixed_name = escape_single_quotes(old_hostname);
    std::string grep_pattern = escape_single_quotes(literal_pattern(old_hostname, '\0'));
    std::string sed_pattern = escape_single_quotes(literal_pattern(old_hostname, '/'));

    // 5. grep on /etc/hosts, and 6. sed on it. Only grep's "no line selected"
    // says the name is not there. It also fails when it cannot write what it
    // found (a full disk, a closed pipe) or cannot be run at all, and then the
    // sed is tried all the same on an /etc/hosts that exists; a missing one
    // has nothing to rename.
    command_buffer = format_text("grep '%s' /etc/hosts", grep_pattern.c_str());
    status = run_command(command_buffer.c_str());
    if (status != 0)
        warn_of_failure(status,
            format_text(
                "existing hostname '%s' not found in /etc/hosts, %d.\n", old_hostname, status));
    struct stat hosts_status { };
    if (status == 0 || (status != 256 && stat("/etc/hosts", &hosts_status) == 0)) {
        command_buffer
            = format_text("sed -i 's/%s/%s/g' /etc/hosts", sed_pattern.c_str(), new_hostname);
        status = run_command(command_buffer.c_str());
        if (status != 0)
            fail_with(status,
                format_text("system(%s) failed with %d.\n", command_buffer.c_str(), status));
    }

    // 7. Each directory. -H searches a directory given as a symbolic link,
    // and no link below it. Only regular files, so that sed never replaces a
    // link by a copy; grep skips a FIFO, device or socket mounted over one,
    // rather than wait on it; only those grep finds the name in, so that no
    // other file is rewritten; and a sed for each, so that one file sed
    // cannot replace (bind-mounted, immutable) spoils none of the others.
    // xargs stops at once when a command it runs is killed by a signal (the
    // out-of-memory killer), so a shell for each batch runs the seds and
    // counts a killed one as one failed file. Given no file, it runs sed
    // alone, which says "no input files" and fails, so that an empty
    // directory warns as ever.
    for (int i = 2; i < argc; i++) {
        if (is_link_to_non_directory(argv[i])) {
            fprintf(stderr, "'%s' is a link and not a directory: left alone.\n", argv[i]);
            continue;
        }
        command_buffer = format_text(
            "find -H %s -name '*conf' -type f -exec grep -D skip -lZF -e '%s' -- {} + | xargs -0 "
            "sh -c 'e=$1; shift; [ $# != 0 ] || exec sed -i \"$e\"; s=0; for f in \"$@\"; do "
            "sed -i \"$e\" \"$f\" || s=1; done; exit $s' sh 's/%s/%s/g' ",
            find_start_word(argv[i]).c_str(), fixed_name.c_str(), sed_pattern.c_str(),
            new_hostname);
        status = run_command(command_buffer.c_str());
        if (status != 0)
            warn_of_failure(status,
                format_text("system(%s) failed with %d.\n", command_buffer.c_str(), status));
    }
    exit(0);
}

} // namespace

int main(int argc, char *argv[])
{
    prepare_for_commands();
    if (argc <= 1)
        exit_with_message(usage_text);
    const char *new_hostname = argv[1];
    if (is_valid_hostname(new_hostname) != 1)
        exit_with_message(usage_text);
    rename_host(new_hostname, argc, argv, usage_text);
}

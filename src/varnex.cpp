#include <cstdlib>

#include "command_runner.h"
#include "hostname_rule.h"

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

} // namespace

int main(int argc, char *argv[])
{
    if (argc <= 1)
        exit_with_message(usage_text);
    const char *new_hostname = argv[1];
    if (is_valid_hostname(new_hostname) != 1)
        exit_with_message(usage_text);
    exit(0);
}

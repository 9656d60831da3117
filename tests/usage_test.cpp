#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

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

} // namespace

// These runs never reach the rename, so they are safe outside a sandbox.
TEST(Usage, RefusesMissingOrInvalidNameWithUsageTextAndStatusOne)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {""},
        {"-h"},
        {"--help"},
        {std::string(64, 'a')},
        {"a.b"},
        {"a.b", "/etc"},
        {"new box"},
    };
    for (const auto &args : cases) {
        std::vector<std::string> argv = {VARNEX_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult result = run_process(argv);
        std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(result.err, expected_usage) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.status, 1) << shown;
    }
}

#include "mountinfo_text.h"
#include "path_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(DecodeMountinfoPath, TakesABackslashAndExactlyThreeOctalDigits)
{
    const struct {
        std::string field;
        std::string path;
    } cases[] = {
        {"/srv/app", "/srv/app"},
        {"/srv/m\\0401", "/srv/m 1"},
        {"/srv/t\\0117", "/srv/t\t7"},
        {"/srv/a\\012b", "/srv/a\nb"},
        {"/srv/back\\134slash", "/srv/back\\slash"},
        {"/srv/short\\04", "/srv/short\\04"},
        {"/srv/\\xyz", "/srv/\\xyz"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decode_mountinfo_path(c.field), c.path) << c.field;
}

TEST(OutermostTrees, KeepsEachTreeOnceAndNoneInsideAnother)
{
    const struct {
        std::vector<std::string> trees;
        std::vector<std::string> kept;
    } cases[] = {
        {{"/srv/app", "/etc", "/srv/app/sub", "/etc"}, {"/etc", "/srv/app"}},
        {{"/srv/app/sub", "/srv/app"}, {"/srv/app"}},
        {{"/srv/app", "/srv/app.d", "/srv/app-x"}, {"/srv/app", "/srv/app-x", "/srv/app.d"}},
        {{"/etc", "/", "/srv"}, {"/"}},
        {{"/d\x80", "/d\x81", "/d\x80/x"}, {"/d\x80", "/d\x81"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(outermost_trees(c.trees), c.kept);
}

TEST(DiffQuoted, QuotesAsDiffDoesAndReadsBack)
{
    const struct {
        std::string name;
        std::string quoted;
    } cases[] = {
        {"/etc/hosts", "/etc/hosts"},
        {"/srv/it's", "/srv/it's"},
        {"/srv/a b", "\"/srv/a b\""},
        {"/srv/a\nb", "\"/srv/a\\nb\""},
        {"/srv/t\tb", "\"/srv/t\\tb\""},
        {"/srv/q\"b\\c", "\"/srv/q\\\"b\\\\c\""},
        {"/srv/\x01\x7f\xc3\xa9", "\"/srv/\\001\x7f\\303\\251\""},
        {"/srv/m\\0401", "\"/srv/m\\\\0401\""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(diff_quoted(c.name), c.quoted) << c.name;
        EXPECT_EQ(diff_unquoted(c.quoted), c.name) << c.quoted;
    }
}

} // namespace

# shellcheck shell=bash
# For the shell tests: `expect WHAT GOT WANTED` reports one check, and
# `finish` ends the test with the failures counted.
fails=0
expect()
{
    if [ "$2" = "$3" ]; then
        echo "ok: $1"
    else
        printf 'FAILED: %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$3" "$2"
        fails=$((fails + 1))
    fi
}
finish() { exit $((fails > 0)); }

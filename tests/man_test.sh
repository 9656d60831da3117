#!/usr/bin/env bash
# The manual pages lint clean under groff and mandoc, render, and show every
# displayed command whole on one line, since the commands are the interface.
set -u
# shellcheck source=tests/expect.sh
. "$(dirname "$0")/expect.sh"
command -v mandoc >/dev/null || { echo "FAILED: mandoc is not installed (tools/deps test)"; exit 1; }
for page in "$@"; do
    expect "$page lints clean" "$(groff -ww -mdoc -z "$page" 2>&1; mandoc -T lint -W warning "$page" 2>&1)" ""
    shown=$(MANWIDTH=80 man -l "$page" 2>&1)
    expect "$page renders" "$(grep -c '^NAME' <<<"$shown")" 1
    while IFS= read -r command; do
        expect "$page shows whole: $command" "$(grep -cF -- "$command" <<<"$shown")" 1
    done < <(sed -n -e 's/^\.Dl //p' -e '/^\.Bd -literal/,/^\.Ed/{/^\./!p}' "$page")
done
finish

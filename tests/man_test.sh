#!/usr/bin/env bash
# The manual pages lint clean and render.
set -u
# shellcheck source=tests/expect.sh
. "$(dirname "$0")/expect.sh"
for page in "$@"; do
    warnings=$(groff -ww -mdoc -z "$page" 2>&1)
    if command -v mandoc >/dev/null; then
        warnings+=$(mandoc -T lint -W warning "$page" 2>&1)
    fi
    expect "$page lints clean" "$warnings" ""
    expect "$page renders" "$(MANWIDTH=80 man -l "$page" 2>&1 | grep -c '^NAME')" 1
done
finish

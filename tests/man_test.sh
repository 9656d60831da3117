#!/usr/bin/env bash
# The manual pages lint clean and render.
set -u
fails=0
for page in "$@"; do
    warnings=$(groff -ww -mdoc -z "$page" 2>&1)
    if command -v mandoc >/dev/null; then
        warnings+=$(mandoc -T lint -W warning "$page" 2>&1)
    fi
    rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
    if [ -n "$warnings" ] || ! grep -q '^NAME' <<<"$rendered"; then
        printf 'FAILED: %s\n%s\n' "$page" "$warnings"
        fails=$((fails + 1))
    else
        echo "ok: $page"
    fi
done
[ $fails -eq 0 ]

#!/usr/bin/env bash
# The install tree and the Debian package hold what a system tool should.
set -u
# shellcheck source=tests/expect.sh
. "$(dirname "$0")/expect.sh"
build=$1
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT

cmake --install "$build" --prefix "$t/root" >/dev/null || exit 1
expect "install tree" "$(cd "$t/root" && find . -type f -printf '%m %p\n' | sort)" \
"644 ./share/man/man8/varnex-preview.8.gz
644 ./share/man/man8/varnex.8.gz
755 ./sbin/varnex
755 ./sbin/varnex-preview"

if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$t/deb" >/dev/null || exit 1
    deb=$(echo "$t"/deb/varnex_*.deb)
    expect "package contents" "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6 }' | sort)" \
"./usr/sbin/varnex
./usr/sbin/varnex-preview
./usr/share/man/man8/varnex-preview.8.gz
./usr/share/man/man8/varnex.8.gz"
    expect "package section" "$(dpkg-deb -f "$deb" Section)" admin
    depends=$(dpkg-deb -f "$deb" Depends)
    for tool in sed grep findutils util-linux diffutils; do
        expect "depends on $tool" "$(grep -ow "$tool" <<<"$depends")" "$tool"
    done
else
    echo "package check skipped: dpkg-deb and dpkg-shlibdeps are not here"
fi
finish

#!/usr/bin/env bash
# A release build installs and packages what a system tool should, and the
# distributions' own checkers pass its packages.
set -u
# shellcheck source=tests/expect.sh
. "$(dirname "$0")/expect.sh"
source_dir=$1
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT

(cd "$source_dir" && cmake --preset release -B "$t/build" >/dev/null &&
    cmake --build "$t/build" >/dev/null) || exit 1
cmake --install "$t/build" --prefix "$t/root" >/dev/null || exit 1
files="sbin/varnex
sbin/varnex-preview
share/ansible/plugins/modules/varnex.py
share/doc/varnex/changelog.gz
share/doc/varnex/copyright
share/doc/varnex/examples/inventory
share/doc/varnex/examples/rename.yml
share/man/man8/varnex-preview.8.gz
share/man/man8/varnex.8.gz"
expect "install tree" "$(cd "$t/root" && find . -type f -printf '%m %P\n' | sort)" \
"644 share/ansible/plugins/modules/varnex.py
644 share/doc/varnex/changelog.gz
644 share/doc/varnex/copyright
644 share/doc/varnex/examples/inventory
644 share/doc/varnex/examples/rename.yml
644 share/man/man8/varnex-preview.8.gz
644 share/man/man8/varnex.8.gz
755 sbin/varnex
755 sbin/varnex-preview"
expect "licence in the copyright file" "$(grep -c '^License: ISC$' "$t/root/share/doc/varnex/copyright")" 1

if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
    cpack -G DEB --config "$t/build/CPackConfig.cmake" -B "$t/deb" >/dev/null || exit 1
    deb=$(echo "$t"/deb/varnex_*.deb)
    expect "deb contents" "$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sub("^./usr/", "", $6); print $6 }' | sort)" "$files"
    expect "deb section" "$(dpkg-deb -f "$deb" Section)" admin
    expect "deb depends on no Essential package" \
        "$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | grep -cwE 'mount|sed|grep|findutils|util-linux|diffutils')" 0
    if command -v lintian >/dev/null; then
        expect "lintian: no error or warning" "$(lintian --pedantic "$deb" 2>/dev/null | grep -E '^[EW]: ')" ""
    fi
else
    echo "deb check skipped: dpkg-deb and dpkg-shlibdeps are not here"
fi

if command -v rpmbuild >/dev/null; then
    cpack -G RPM --config "$t/build/CPackConfig.cmake" -B "$t/rpm" >/dev/null || exit 1
    rpm=$(echo "$t"/rpm/varnex-*.rpm)
    expect "rpm contents" "$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm" |
        awk '$1 ~ /^-/ && $2 !~ /build-id/ { sub("^/usr/", "", $2); print $2 }' | sort)" "$files"
    expect "rpm licence" "$(rpm -qp --qf '%{LICENSE}' "$rpm")" ISC
    expect "rpm requires the tools it runs" "$(rpm -qp --requires "$rpm" | grep -cxE 'diffutils|findutils|grep|sed')" 4
    if command -v rpmlint >/dev/null; then
        expect "rpmlint: no error but no-signature" \
            "$(rpmlint "$rpm" 2>/dev/null | grep ': E: ' | grep -v ': E: no-signature')" ""
    fi
else
    echo "rpm check skipped: rpmbuild is not here"
fi
finish

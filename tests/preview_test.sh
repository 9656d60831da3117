#!/usr/bin/env bash
# varnex-preview run for real over a scratch tree: it shows the lines a rename
# would change, follows varnex's exit status, and leaves every byte as it was.
# The whole run sits in an outer sandbox whose /etc is scratch and whose host
# name is oldbox, so the expected output does not depend on this machine; a
# tmpfs mounted inside the tree there stands for a mount point below a
# previewed directory.
set -u
# shellcheck source=tests/expect.sh
. "$(dirname "$0")/expect.sh"
build=$1
[ "$(id -u)" -eq 0 ] || { echo "skipped: the preview needs root"; exit 77; }
unshare --uts --mount --fork true 2>/dev/null || { echo "skipped: no UTS and mount namespaces"; exit 77; }

t=$(mktemp -d) o=$(mktemp -d)
trap 'rm -rf "$t" "$o"' EXIT
mkdir -p "$t/etc/conf.d" "$t/srv/app/sub" "$t/srv/app/mnt"
printf 'oldbox\n' >"$t/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 oldbox\n' >"$t/etc/hosts"
printf 'a=oldbox\n' >"$t/etc/conf.d/x.conf"
printf 'host=oldbox\nport=1\n' >"$t/srv/app/a.conf"
printf 'nothing to replace\n' >"$t/srv/app/sub/b.conf"
printf 'oldbox\n' >"$t/srv/app/notes.txt"

state() { (cd "$t" && find . -printf '%p %y %m %s %T@\n' | sort && find . -type f -exec md5sum {} + | sort); }
before=$(state)

# preview DIR ARGS...: runs varnex-preview ARGS from DIR in the outer sandbox.
preview()
{
    local dir=$1
    shift
    # shellcheck disable=SC2016 # expanded by the inner shell
    (cd "$dir" && unshare --uts --mount --fork bash -c '
        root=$1 out=$2
        shift 2
        mount --bind "$root/etc" /etc && hostname oldbox || exit 99
        mount -t tmpfs mnt "$root/srv/app/mnt" && echo "m=oldbox" >"$root/srv/app/mnt/m.conf" || exit 99
        cd "$PWD" || exit 99
        "$@" >"$out/out" 2>"$out/err"
        status=$?
        hostname >"$out/kernel"
        exit $status' sandbox "$t" "$o" "$@")
}


preview "$t/srv/app" "$build/varnex-preview" newbox . /etc/conf.d
expect "status of a rename" "$?" 0
expect "diffs and summary" "$(cat "$o/out")" "127.0.1.1 oldbox
--- /etc/conf.d/x.conf
+++ /etc/conf.d/x.conf
@@ -1 +1 @@
-a=oldbox
+a=newbox
--- /etc/hostname
+++ /etc/hostname
@@ -1 +1 @@
-oldbox
+newbox
--- /etc/hosts
+++ /etc/hosts
@@ -1,2 +1,2 @@
 127.0.0.1 localhost
-127.0.1.1 oldbox
+127.0.1.1 newbox
--- $t/srv/app/a.conf
+++ $t/srv/app/a.conf
@@ -1,2 +1,2 @@
-host=oldbox
+host=newbox
 port=1
--- $t/srv/app/mnt/m.conf
+++ $t/srv/app/mnt/m.conf
@@ -1 +1 @@
-m=oldbox
+m=newbox
varnex-preview: 5 files would change, 5 lines."
expect "varnex's transcript" "$(grep -c "^Running '" "$o/err")" 5
expect "kernel name kept" "$(cat "$o/kernel")" oldbox
expect "tree byte-identical" "$(state)" "$before"

preview "$t" "$build/varnex-preview" oldbox
expect "status of a refused rename" "$?" 1
expect "nothing to show" "$(cat "$o/out")" "varnex-preview: 0 files would change, 0 lines."

err=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$build/varnex-preview" newbox 2>&1)
expect "status when not root" "$?" 2
expect "one line when not root" "$err" \
    "varnex-preview: must be run as root, to sandbox a rename that writes to /etc"
expect "tree still byte-identical" "$(state)" "$before"

finish

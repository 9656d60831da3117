#!/usr/bin/env bash
# varnex-preview run for real over a scratch tree: it shows the lines a rename
# would change, follows varnex's exit status, and whatever it is given, leaves
# every byte, name, mtime and inode of the tree as it was. Each run sits in an
# outer sandbox whose /etc is the tree's and whose host name is oldbox, so the
# expected output does not depend on this machine; a tmpfs mounted inside the
# tree there stands for a mount point below a previewed directory.
set -u
# shellcheck source=tests/expect.sh
. "$(dirname "$0")/expect.sh"
# The rows run from other directories.
build=$(realpath -e -- "$1") || exit 1
probe=$(realpath -e -- "${2:-$build/tests/seal_probe}") || exit 1
[ "$(id -u)" -eq 0 ] || { echo "skipped: the preview needs root"; exit 77; }
unshare --uts --mount --fork true 2>/dev/null || { echo "skipped: no UTS and mount namespaces"; exit 77; }

# Everything the test writes is below one directory, gone however the test
# ends, with the probes' own processes and cgroups.
scratch=$(mktemp -d) || exit 1
t=$scratch/t o=$scratch/o
cgroups=
# shellcheck disable=SC2016 # expanded when the test ends
trap 'for f in "$o"/*.pid; do [ ! -f "$f" ] || kill "$(cat "$f")"; done 2>/dev/null
    [ -z "$cgroups" ] || rmdir "$cgroups"/varnex-seal*."$$" 2>/dev/null
    rm -rf "$scratch"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$t" "$o" || exit 1
nl=$'\n'
mkdir -p "$t/etc/conf.d" "$t/srv/app/sub" "$t/srv/app/mnt" "$t/srv/current" "$t/data/r1/config" \
    "$t/srv/ro" "$t/odd" "$t/nl/app" "$t/nl/app$nl" "$t/nl/a${nl}b" "$t/u/d"$'\x80' "$t/u/d"$'\x81' \
    "$t/srv/rw/ro" "$t/srv/fifo" "$t/words" "$t/etc2" "$t/etc3" "$t/srv/chroot/proc" \
    "$t/srv/twice/sub" "$t/srv/twice/mirror" "$t/srv/hn"
printf 'oldbox\n' >"$t/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 oldbox\n' >"$t/etc/hosts"
printf 'a=oldbox\n' >"$t/etc/conf.d/x.conf"
printf 'host=oldbox\nport=1\n' >"$t/srv/app/a.conf"
printf 'nothing to replace\n' >"$t/srv/app/sub/b.conf"
printf 'oldbox\n' >"$t/srv/app/notes.txt"
ln -s ../../data/r1/config "$t/srv/current/config"
for f in "$t/data/r1/r.conf" "$t/srv/ro/r.conf" "$t/nl/app/n.conf" "$t/nl/app$nl/n.conf" \
    "$t/nl/a${nl}b/n.conf" "$t/u/d"$'\x80'/u.conf "$t/u/d"$'\x81'/u.conf; do
    printf 'host=oldbox\n' >"$f"
done
printf 'a\0b oldbox\n' >"$t/odd/nul.conf"
for f in "$t/srv/rw/w.conf" "$t/srv/rw/ro/r.conf" "$t/srv/fifo/x.pipe" "$t/srv/fifo/y.conf"; do
    printf 'host=oldbox\n' >"$f"
done
printf '# pg\n#jit_provider = '\''llvmjit'\''\n' >"$t/words/pg.conf"
printf 'a = oldbox.example.com\nb = oldbox:8080\nc = oldbox-db\n' >"$t/words/a.conf"
printf 'vm\n' >"$t/etc2/hostname"
ln -s ../srv/hosts "$t/etc2/hosts"
cp "$t/etc/hosts" "$t/etc3/hosts"
ln -s /proc/self/fd/0/hostname "$t/etc3/hostname"
printf 'host=oldbox\n' >"$t/srv/chroot/c.conf"
printf 'b=oldbox\n' >"$t/srv/twice/sub/b.conf"
printf 'oldbox\n' >"$t/srv/hn/h.conf"
# /etc/$deep/deep.conf is 4083 bytes long, near PATH_MAX.
deep=deep$(for _ in {1..19}; do printf '/%s' "$(printf 'd%.0s' {1..200})"; done)/$(printf 'd%.0s' {1..244})
(cd "$t/etc" && mkdir -p "$deep" && cd "$deep" && printf 'deep=oldbox\n' >deep.conf) || exit 1
mkdir "$o/locale" && localedef -i en_US -f UTF-8 "$o/locale/en_US.UTF-8" || exit 1

state() { (cd "$t" && find . -printf '%p %y %m %s %i %T@\n' | sort && find . -type f -exec md5sum {} + | sort); }
before=$(state)

# preview SETUP DIR ARGS...: runs ARGS from DIR in the outer sandbox, after
# the shell text SETUP, with stdout and stderr in $o/out and $o/err.
preview()
{
    local setup=$1 dir=$2
    shift 2
    # shellcheck disable=SC2016 # expanded by the inner shell
    (cd "$dir" && unshare --uts --mount --fork bash -c '
        root=$1 out=$2 setup=$3
        shift 3
        mount --make-rprivate / && mount --bind "$root/etc" /etc && hostname oldbox || exit 99
        mount -t tmpfs mnt "$root/srv/app/mnt" && echo "m=oldbox" >"$root/srv/app/mnt/m.conf" || exit 99
        cd "$PWD" && eval "$setup" || exit 99
        "$@" >"$out/out" 2>"$out/err"
        status=$?
        hostname >"$out/kernel"
        exit $status' sandbox "$t" "$o" "$setup" "$@")
}

preview "" "$t/srv/app" "$build/varnex-preview" newbox . /etc/conf.d
expect "status of a rename" "$?" 0
expect "the diff alone on standard output" "$(cat "$o/out")" "--- /etc/conf.d/x.conf
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
+m=newbox"
expect "standard error's first line" "$(head -n 1 "$o/err")" \
    "varnex-preview: the rename runs in a sandbox; nothing on this machine changes."
expect "varnex's transcript, grep's line included" "$(grep -c "^Running '\|^127.0.1.1 oldbox$" "$o/err")" 6
expect "summary last on standard error" "$(tail -n 1 "$o/err")" "varnex-preview: 5 files would change, 5 lines."
expect "kernel name kept" "$(cat "$o/kernel")" oldbox
expect "tree byte-identical" "$(state)" "$before"

p=$build/varnex-preview
# row WHAT STATUS SHOWN SETUP DIR COMMAND...: the preview's status, a line
# that its output must hold (if any), and the tree as it was.
row()
{
    local what=$1 status=$2 shown=$3
    shift 3
    preview "$@"
    expect "$what: status" "$?" "$status"
    [ -z "$shown" ] || expect "$what: shows" "$(cat "$o/out" "$o/err" | grep -caxF -- "$shown")" "$(wc -l <<<"$shown")"
    expect "$what: tree byte-identical" "$(state)" "$before"
}
# shellcheck disable=SC2016 # expanded in the outer sandbox
ro_srv='mount --bind "$root/srv/ro" "$root/srv/ro" && mount -o remount,bind,ro "$root/srv/ro"'
summary() { echo "varnex-preview: $1 files would change, $1 lines."; }
stopped() { echo "varnex-preview: the rename would stop with status 1; up to there, $1 files would change, $1 lines."; }
usage="usage: varnex-preview new_hostname [dir ...]"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
row "--help" 0 "$usage" "" "$t" "$p" --help
expect "--help: on standard output" "$(head -n 1 "$o/out")" "$usage"
row "-h" 0 "$usage" "" "$t" "$p" -h
row "--version" 0 "varnex-preview $version" "" "$t" "$p" --version
row "no argument" 2 "$usage" "" "$t" "$p"
expect "no argument: usage on standard error" "$(head -n 1 "$o/err")" "$usage"
row "an unknown option" 2 "varnex-preview: unknown option -x" "" "$t" "$p" -x newbox
row "same name" 1 "$(stopped 0)" "" "$t" "$p" oldbox
row "overlapping directories" 1 "$(stopped 0)" "" "$t" "$p" newbox /etc /etc/conf.d
# shellcheck disable=SC2016 # expanded by that shell
row "a clean patch on standard output" 0 "checking file etc/hosts" "" "$t" \
    bash -c '"$0" newbox >"$1" 2>/dev/null && patch --dry-run -p1 -d / -i "$1"' "$p" "$o/patch"
row "a file argument" 0 "+++ $t/srv/app/a.conf" "" "$t" "$p" newbox "$t/srv/app/a.conf"
row ".. after a link" 0 "+++ $t/data/r1/r.conf" "" "$t/srv/current/config" "$p" newbox ..
row "a name ending in a newline" 0 "$(summary 3)" "" "$t" "$p" newbox "$t/nl/app$nl"
row "a newline inside a name" 0 "$(summary 3)" "" "$t" "$p" newbox "$t/nl/a${nl}b"
row "names that collate alike" 0 "$(summary 4)" "" "$t" \
    env LOCPATH="$o/locale" LC_ALL=en_US.UTF-8 "$p" newbox "$t/u/d"$'\x80' "$t/u/d"$'\x81'
row "an exported function named mount" 0 "$(summary 2)" "" "$t" \
    env "BASH_FUNC_mount%%=() { return 0; }" "$p" newbox
row "a read-only tree" 0 "$(summary 2)" "$ro_srv" "$t" "$p" newbox "$t/srv/ro"
row "a read-only /etc" 1 "$(stopped 0)" "mount -o remount,bind,ro /etc" "$t" "$p" newbox
row "a NUL byte, as text" 0 "$(summary 3)" "" "$t" "$p" newbox "$t/odd"
row "a path near PATH_MAX" 0 "-deep=oldbox" "" "$t" "$p" newbox /etc
row "TMPDIR relative, in the tree" 0 "$(summary 5)" "export TMPDIR=nl" "$t" "$p" newbox "$t/nl"
# shellcheck disable=SC2016 # expanded by that shell
row "a full standard output" 2 "" "" "$t" bash -c '"$0" "$@" >/dev/full' "$p" newbox
# Mounted by systemd on most hosts; mounted here where it is not.
row "binfmt_misc mounted under /proc" 0 "$(summary 2)" "mountpoint -q /proc/sys/fs/binfmt_misc ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc" "$t" "$p" newbox
# shellcheck disable=SC2016 # expanded by that shell
row "a descriptor as a directory" 2 "" "" "$t" bash -c '"$0" newbox /dev/fd/3 3<"$1"' "$p" "$t/srv/app"
row "another process's root" 2 "" "" "$t" "$p" newbox "/proc/$$/root$t/srv/app"
row "a read-only bind of /etc/hostname, as the real run" 1 "$(stopped 0)" \
    "mount --bind /etc/hostname /etc/hostname && mount -o remount,bind,ro /etc/hostname" "$t" "$p" newbox
# shellcheck disable=SC2016 # expanded in the outer sandbox
row "a read-only mount below a tree, as the real run" 0 "$(summary 3)" \
    'mount --bind "$root/srv/rw/ro" "$root/srv/rw/ro" && mount -o remount,bind,ro "$root/srv/rw/ro"' \
    "$t" "$p" newbox "$t/srv/rw"
# A FIFO named *conf would stop varnex itself, whose find takes it for the
# file beneath; the preview's own work must never open it.
# shellcheck disable=SC2016 # expanded in the outer sandbox
row "a FIFO bound onto a file" 0 "$(summary 3)" \
    'mkfifo "$out/fifo" && mount --bind "$out/fifo" "$root/srv/fifo/x.pipe"' "$t" "$p" newbox "$t/srv/fifo"
row "POSIXLY_CORRECT" 0 "$(summary 2)" "" "$t" env POSIXLY_CORRECT=1 "$p" newbox
# shellcheck disable=SC2016 # expanded in the outer sandbox
row "a /proc mounted below a tree" 0 "$(summary 3)" 'mount -t proc proc "$root/srv/chroot/proc"' \
    "$t" "$p" newbox "$t/srv/chroot"
# shellcheck disable=SC2016 # expanded in the outer sandbox, and by that shell
row "/etc/hostname a link through a descriptor" 2 "" 'mount --bind "$root/etc3" /etc' "$t" \
    bash -c '"$0" newbox <"$1"' "$p" "$t/srv/app"
# A file reached twice is renamed twice, and oldbox2 holds oldbox.
# shellcheck disable=SC2016 # expanded in the outer sandbox
row "a directory bound a second time inside the tree" 0 "+b=oldbox22" \
    'mount --bind "$root/srv/twice/sub" "$root/srv/twice/mirror"' "$t" "$p" oldbox2 "$t/srv/twice"
# echo writes oldbox2 through the bind, and the sweep then edits that file.
# shellcheck disable=SC2016 # expanded in the outer sandbox
row "/etc/hostname bound from a conf file in a tree, a new name holding the old" 0 "+oldbox22" \
    'mount --bind "$root/srv/hn/h.conf" /etc/hostname' "$t" "$p" oldbox2 "$t/srv/hn"
# shellcheck disable=SC2016 # expanded in the outer sandbox
row "a working directory hidden under a later mount" 2 "" 'mount -t tmpfs t "$root/srv/app"' \
    "$t/srv/app" "$p" newbox .
# shellcheck disable=SC2016 # expanded in the outer sandbox
row "/etc/hosts a link that leaves /etc" 0 \
    "File /etc/hosts is a symbolic link while file /etc/hosts is a regular file
+127.0.1.1 newbox
$(summary 2)" \
    'mount --bind "$root/etc2" /etc && mount -t tmpfs srv /srv && echo "127.0.1.1 oldbox" >/srv/hosts' \
    "$t" "$p" newbox
row "a newline in a tree's path, quoted in the header" 0 "+++ \"$t/nl/a\\nb/n.conf\"" "" "$t" \
    "$p" newbox "$t/nl/a${nl}b"
row "the old name inside a longer word" 0 "varnex-preview: $t/words/pg.conf:2: 'llvmjit' holds the old name inside a longer word
varnex-preview: 2 files would change, 2 lines; 1 inside a longer word." "hostname vm" "$t" "$p" newbox "$t/words"
row "the old name before a dot, a colon and a dash" 0 "varnex-preview: $t/words/a.conf:3: 'oldbox-db' holds the old name inside a longer word
varnex-preview: 3 files would change, 5 lines; 1 inside a longer word." "" "$t" "$p" newbox "$t/words"
# shellcheck disable=SC2016 # expanded by that shell
on_terminal='script -qec "$(printf %q "$0") newbox" /dev/null | tr -d "\r"'
row "colour on a terminal" 0 $'\e[32m+127.0.1.1 newbox\e[m' "" "$t" bash -c "$on_terminal" "$p"
row "no colour with NO_COLOR" 0 "+127.0.1.1 newbox" "" "$t" env NO_COLOR=1 bash -c "$on_terminal" "$p"

# The seal, tried from varnex's place by a probe beside a copy of the
# preview: each attempt is refused, and what it aims at, all of it this
# test's own, stays as it was: a marker file outside the trees, a datagram
# socket, a key, a cgroup holding a sleep, the pty of a script.
s=$o/seal
mkdir -p "$s" "$o/marker" && cp "$p" "$s/varnex-preview" && cp "$probe" "$s/varnex" || exit 1
printf 'before\n' >"$o/marker/file"
export PROBE_MARKER=$o/marker/file PROBE_SOCKET=$o/probe.sock PROBE_FD=7 \
    PROBE_CONTROL=/etc/conf.d/x.conf PROBE_CGROUP=varnex-seal.$$ OWN_CGROUP=varnex-seal-own.$$
"$probe" listen "$PROBE_SOCKET" >"$o/heard" & echo $! >"$o/listen.pid"
cgroups=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
if [ -n "$cgroups" ] && mkdir "$cgroups/$PROBE_CGROUP" "$cgroups/$OWN_CGROUP"; then
    sleep 600 & echo $! >"$o/sleep.pid"
    echo $! >"$cgroups/$PROBE_CGROUP/cgroup.procs"
else
    cgroups=
fi
# shellcheck disable=SC2016 # expanded by the wrappers
{
    printf '#!/bin/bash\nexec script -qec "$(printf %%q\\  "$@")" /dev/null\n' >"$s/on-pty"
    printf '#!/bin/bash\nexec 7>>"$PROBE_MARKER"\nexec "$@"\n' >"$s/with-fd"
    printf '#!/bin/bash\necho $$ >"%s/$OWN_CGROUP/cgroup.procs" || exit 99\nsleep 600 &\necho $! >"%s/own.pid"\nexec "$@"\n' \
        "$cgroups" "$o" >"$s/in-cgroup"
    chmod 755 "$s/on-pty" "$s/with-fd" "$s/in-cgroup"
}
outside()
{
    cat "$o/marker/file" "$o/heard"
    for f in "$o/sleep.pid" "$o/own.pid"; do [ ! -f "$f" ] || kill -0 "$(cat "$f")" || echo "$f ended"; done
}
outside_before=$(outside)
# seal ATTEMPT [WRAPPER...]: the probe's attempt, from the preview's copy.
seal()
{
    local attempt=$1
    shift
    preview "" "$t" "$@" "$s/varnex-preview" "$attempt"
    expect "seal, $attempt: refused" "$(cat "$o/out" "$o/err" | grep -c "^$attempt: refused")" 1
    expect "seal, $attempt: nothing outside changed" "$(outside)" "$outside_before"
    expect "seal, $attempt: the key kept" "$(grep -c '^key now: after' "$o/out")" 0
    expect "seal, $attempt: tree byte-identical" "$(state)" "$before"
}
seal remount-setattr
seal remount-bind
seal umount-cover
seal block-device
seal devtmpfs
seal sysctl
seal sysfs
seal bpf
seal clock
seal ptrace
seal proc-fd "$s/with-fd"
seal tiocsti "$s/on-pty"
seal vhangup "$s/on-pty"
seal datagram
seal netlink
seal keyring "$probe" new-session
if [ -n "$cgroups" ]; then
    seal cgroup-kill
    seal own-cgroup-kill "$s/in-cgroup"
else
    echo "skipped: the cgroup rows, no cgroup2 mount to make a cgroup in"
fi
preview "" "$t" "$s/varnex-preview" control
expect "seal, the control: a write in a covered tree shows" "$(grep -cx '+probe' "$o/out")" 1

# Ctrl-C while varnex is busy in a directory: no summary, and the preview
# ends by SIGINT.
mkdir "$o/big" && for i in $(seq 2000); do echo oldbox >"$o/big/$i.conf"; done
# shellcheck disable=SC2016 # expanded by the inner shell
preview 'run() {
    set -m
    "$@" 2>"$out/err" &
    for _ in $(seq 1000); do grep -q "^Running .find -H" "$out/err" && break; sleep 0.01; done
    kill -INT -- -$!
    wait $! 2>/dev/null
    echo $? >"$out/status"
}' "$t" run "$p" newbox "$o/big"
expect "Ctrl-C: ends by SIGINT" "$(cat "$o/status")" 130
expect "Ctrl-C: no summary" "$(grep -c "would change" "$o/err")" 0
expect "Ctrl-C: tree byte-identical" "$(state)" "$before"

# SIGKILL to the preview's PID alone, as a service manager sends it: its
# sandbox ends with it, and leaves no process and no mount.
# shellcheck disable=SC2016 # expanded by the inner shell
preview 'run() {
    "$@" 2>"$out/err" &
    for _ in $(seq 1000); do grep -q "^Running .find -H" "$out/err" && break; sleep 0.01; done
    kill -KILL $!
    wait $! 2>/dev/null
    echo $? >"$out/status"
    for _ in $(seq 100); do pgrep -f "find -H $out/big|varnex newbox $out/big" >"$out/left" || break; sleep 0.02; done
    grep -c varnex-preview /proc/self/mountinfo >"$out/mounts"
}' "$t" run "$p" newbox "$o/big"
expect "SIGKILL: ends by it" "$(cat "$o/status")" 137
expect "SIGKILL: no process left" "$(cat "$o/left")" ""
expect "SIGKILL: no mount left" "$(cat "$o/mounts")" 0
expect "SIGKILL: tree byte-identical" "$(state)" "$before"

# Root of a user namespace that root made is still root on the host: in the
# outer sandbox too, lest the preview's refusal be all that stands in its way.
preview "" "$t" unshare --user --map-root-user "$p" newbox
expect "status as root of a user namespace" "$?" 2
expect "one line as root of a user namespace" "$(cat "$o/out" "$o/err" | wc -l)" 1
userns_line="varnex-preview: cannot preview inside a user namespace: a real rename there is not what it would be on the host"
row "root of a user namespace that maps every id to itself" 2 "$userns_line" "" "$t" \
    "$probe" identity-userns "$p" newbox
expect "one line in a user namespace that maps every id to itself" "$(cat "$o/err")" "$userns_line"
# A chroot into a plain directory, its programs from the host's /usr.
mkdir -p "$o/chroot/usr" "$o/chroot/proc" "$o/chroot/etc" "$o/chroot/p" && cp "$p" "$build/varnex" "$o/chroot/p" &&
    ln -s usr/lib "$o/chroot/lib" && ln -s usr/lib64 "$o/chroot/lib64" || exit 1
# shellcheck disable=SC2016 # expanded in the outer sandbox
row "a chroot" 2 \
    "varnex-preview: cannot preview in a chroot, or where user namespaces are forbidden: the sandbox needs one: Operation not permitted" \
    'mount --bind /usr "$out/chroot/usr" && mount -t proc proc "$out/chroot/proc"' "$t" chroot "$o/chroot" /p/varnex-preview newbox

# Another user can reach nothing below a mode-700 directory, such as root's
# home, so the programs are copied where nobody can reach them.
mkdir "$o/bin" && cp "$build/varnex" "$p" "$o/bin" && chmod 755 "$scratch" "$o" "$o/bin"
preview "" "$t" setpriv --reuid=65534 --regid=65534 --clear-groups "$o/bin/varnex-preview" newbox
expect "status when not root" "$?" 2
expect "one line when not root" "$(cat "$o/out" "$o/err")" \
    "varnex-preview: must be run as root, to sandbox a rename that writes to /etc"
expect "tree still byte-identical" "$(state)" "$before"

finish

#!/usr/bin/env bash
# The Ansible module, run by a real ansible-playbook on this machine through
# the example playbook: check mode shows the preview's diff and changes
# nothing, a real run renames, a second run has nothing to do, and a failure
# carries varnex's messages. Each run sits in an outer sandbox whose /etc is a
# scratch one written here, and whose host name is oldbox.
set -u
# shellcheck source=tests/expect.sh
. "$(dirname "$0")/expect.sh"

# The texts of varnex and the preview that the module reads are spelt in the
# sources as the module says beside its patterns.
mirrors=$(sed -n 's/^# mirrors //p' "$1/ansible/varnex.py")
expect "the module names the texts it reads" "$([ -n "$mirrors" ] && echo yes)" yes
while IFS= read -r mirror; do
    expect "the module mirrors ${mirror%%: *}: ${mirror#*: }" \
        "$(grep -rqF -- "${mirror#*: }" "$1/${mirror%%: *}" && echo found)" found
done <<<"$mirrors"
[ "$fails" -eq 0 ] || finish
[ "$(id -u)" -eq 0 ] || { echo "skipped: the module runs varnex, which needs root"; exit 77; }
unshare --uts --mount --fork true 2>/dev/null || { echo "skipped: no UTS and mount namespaces"; exit 77; }
command -v ansible-playbook >/dev/null || { echo "skipped: no ansible-playbook"; exit 77; }
# The module looks its programs up in PATH from a directory of its own, and
# then in /usr/sbin: a relative build directory would run the installed ones.
source_dir=$(realpath -e -- "$1") && build=$(realpath -e -- "$2") || exit 1
for program in varnex varnex-preview; do
    [ -x "$build/$program" ] || { echo "FAILED: no $program in $build"; exit 1; }
done

# Everything the test writes is below one directory, gone however the test ends.
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
t=$scratch/t o=$scratch/o
mkdir "$t" "$t/etc" "$t/quiet" "$o" "$o/home" "$o/tmp" || exit 1
printf 'port=1\n' >"$t/quiet/other.conf"
# sudo need not be here: the test runs as root already.
printf '%s\n' '[renamed]' "localhost ansible_connection=local ansible_become=false \
ansible_python_interpreter=/usr/bin/python3 new_name=newbox \
rename_dirs='[\"/etc\", \"/etc/missing\", \"$t/quiet\"]'" \
    >"$o/inventory"
export HOME=$o/home ANSIBLE_LOCAL_TEMP=$o/tmp ANSIBLE_REMOTE_TEMP=$o/tmp ANSIBLE_NOCOLOR=1 \
    PYTHONDONTWRITEBYTECODE=1 LC_ALL=C.UTF-8 PATH=$build:$PATH

# sandboxed SETUP COMMAND...: COMMAND from $o in new UTS and mount namespaces
# whose /etc is $t/etc and whose host name is oldbox, after the shell text
# SETUP; its output in $o/out, the kernel name after it in $o/kernel. Every
# write to /etc goes through here, so that none can reach this machine's.
sandboxed()
{
    # shellcheck disable=SC2016 # expanded by the inner shell
    (cd "$o" && unshare --uts --mount --fork bash -c '
        root=$1 setup=$2
        shift 2
        mount --make-rprivate / && mount --bind "$root/etc" /etc && hostname oldbox || exit 99
        eval "$setup" || exit 99
        "$@" >out 2>&1
        status=$?
        hostname >kernel
        exit $status' sandbox "$t" "$@")
}

# Ansible needs a user and a group to run as; the rest is what it renames.
sandboxed 'printf "root:x:0:0:root:/root:/bin/bash\n" >/etc/passwd && printf "root:x:0:\n" >/etc/group &&
    printf "oldbox\n" >/etc/hostname && printf "127.0.0.1 localhost\n127.0.1.1 oldbox\n" >/etc/hosts &&
    mkdir /etc/app && printf "host=oldbox\nport=1\n" >/etc/app/app.conf' true || exit 1

state() { (cd "$t" && find . -printf '%p %y %m %s %i %T@\n' | sort && find . -type f -exec md5sum {} + | sort); }

# play SETUP ARGS...: the example playbook with ARGS, sandboxed after SETUP.
play()
{
    local setup=$1
    shift
    sandboxed "$setup" ansible-playbook -i inventory -M "$source_dir/ansible" "$source_dir/ansible/rename.yml" "$@"
}
shows() { grep -cxF -- "$1" "$o/out"; }

before=$(state)
play "" --check --diff -v
expect "check mode: status" "$?" 0
expect "check mode: changed" "$(grep -c '^changed: \[localhost\]' "$o/out")" 1
expect "check mode: the diff holds the conf line" "$(shows "+host=newbox")" 1
expect "check mode: the diff names the file" "$(shows "+++ /etc/app/app.conf")" 1
expect "check mode: grep's lines are not in the diff" "$(shows "127.0.1.1 oldbox")" 0
expect "check mode: a missing directory warns" "$(shows "[WARNING]: /etc/missing does not exist")" 1
expect "check mode: a directory without the name is no warning" "$(grep -c "WARNING.*quiet" "$o/out")" 0
expect "check mode: but a note" "$(grep -cF "\"notes\": [\"no *conf file below $t/quiet holds oldbox\"]" "$o/out")" 1
expect "check mode: kernel name kept" "$(cat "$o/kernel")" oldbox
expect "check mode: /etc byte-identical" "$(state)" "$before"

play ""
expect "rename: status" "$?" 0
expect "rename: changed" "$(shows "changed: [localhost]")" 1
expect "rename: a missing directory warns" "$(shows "[WARNING]: /etc/missing does not exist")" 1
expect "rename: a directory without the name is no warning" "$(grep -c "WARNING.*quiet" "$o/out")" 0
expect "rename: kernel name" "$(cat "$o/kernel")" newbox
expect "rename: files" "$(cat "$t/etc/hostname" "$t/etc/hosts" "$t/etc/app/app.conf")" \
    "newbox
127.0.0.1 localhost
127.0.1.1 newbox
host=newbox
port=1"

renamed=$(state)
play "hostname newbox" --diff
expect "second run: status" "$?" 0
expect "second run: ok" "$(shows "ok: [localhost]")" 1
expect "second run: /etc byte-identical" "$(state)" "$renamed"

play "" -e new_name=-newbox
expect "a bad name: status" "$?" 2
expect "a bad name: told" "$(grep -c "invalid host name '-newbox'" "$o/out")" 1
expect "a bad name: kernel name kept" "$(cat "$o/kernel")" oldbox

play 'echo "127.0.1.1 oldbox" >/etc/hosts && mount --bind /etc/hosts /etc/hosts &&
    mount -o remount,bind,ro /etc/hosts' -e in_words=replace
expect "a read-only /etc/hosts: status" "$?" 2
expect "a read-only /etc/hosts: failed with varnex's line, sed's reason and how to finish" \
    "$(sed -n 's/^fatal: .*"msg": "\([^"]*\).*/\1/p' "$o/out" | sed 's|/etc/sed[^:]*:|/etc/sedXXXXXX:|')" \
    "system(sed -i 's/oldbox/newbox/g' /etc/hosts) failed with 1024. \
sed: cannot rename /etc/sedXXXXXX: Device or resource busy \
Nothing was undone: the kernel name and /etc/hostname hold 'newbox' already. \
Mend the cause, set the old name back with printf %s oldbox > /proc/sys/kernel/hostname and play again to finish the rename"
expect "a read-only /etc/hosts: changed" "$(grep -c '^fatal: .*"changed": true' "$o/out")" 1

play 'mount --bind /etc/hosts /etc/hosts && mount -o remount,bind,ro /etc/hosts'
expect "a read-only /etc/hosts, previewed: status" "$?" 2
expect "a read-only /etc/hosts, previewed: the preview's summary and varnex's line" \
    "$(sed -n 's/^fatal: .*"msg": "\([^"]*\) sed: .*/\1/p' "$o/out")" \
    "varnex-preview: the rename would stop with status 1; up to there, 0 files would change, 0 lines. \
system(sed -i 's/oldbox/newbox/g' /etc/hosts) failed with 1024."
expect "a read-only /etc/hosts, previewed: failed before the rename" "$(cat "$o/kernel")" oldbox

play 'hostname newbox'
expect "a rename stopped at /etc/hosts, played again: status" "$?" 0
expect "a rename stopped at /etc/hosts, played again: warned" \
    "$(grep -c "^\[WARNING\]: the kernel name is already 'newbox' but /etc/hosts does not name it:" "$o/out")" 1

play 'hostname newbox && echo oldbox >/etc/hostname'
expect "a rename stopped at /etc/hostname, played again: status" "$?" 0
expect "a rename stopped at /etc/hostname, played again: warned" \
    "$(grep -c "^\[WARNING\]: the kernel name is already 'newbox' but /etc/hostname holds 'oldbox'" "$o/out")" 1

sandboxed 'printf "oldbox\n" >/etc/hostname && printf "127.0.1.1 oldbox\n" >/etc/hosts &&
    printf "alias=oldboxes\n" >/etc/app/words.conf' true
before=$(state)
play "" --check
expect "the old name inside a word, checked: status" "$?" 2
expect "the old name inside a word, checked: refused, naming the line" \
    "$(sed -n 's/^fatal: .*"msg": "\([^"]*\).*/\1/p' "$o/out")" \
    "the old name 'oldbox' is inside a longer word on 1 line, and in_words is refuse, \
so nothing was changed: /etc/app/words.conf:1: 'oldboxes'. Set in_words: replace to rename all the same"
play ""
expect "the old name inside a word: status" "$?" 2
expect "the old name inside a word: refused" "$(grep -c "^fatal: .*in_words is refuse" "$o/out")" 1
expect "the old name inside a word: kernel name kept" "$(cat "$o/kernel")" oldbox
expect "the old name inside a word: /etc byte-identical" "$(state)" "$before"
play "" -e in_words=replace
expect "the old name inside a word, replaced: status" "$?" 0
expect "the old name inside a word, replaced: kernel name" "$(cat "$o/kernel")" newbox
expect "the old name inside a word, replaced: the word" "$(cat "$t/etc/app/words.conf")" alias=newboxes

shm='mount -t tmpfs tmpfs /dev/shm && mkdir /dev/shm/app'
play "$shm" -e '{"rename_dirs": ["/dev/shm/app"]}'
expect "a directory the preview refuses: status" "$?" 2
expect "a directory the preview refuses: its reason" \
    "$(grep -c "^fatal: .*\"msg\": \"varnex-preview: cannot preview /dev/shm/app: " "$o/out")" 1
expect "a directory the preview refuses: kernel name kept" "$(cat "$o/kernel")" oldbox
play "$shm" -e '{"rename_dirs": ["/dev/shm/app"], "in_words": "replace"}' --diff
expect "a directory the preview refuses, in_words replace: status" "$?" 0
expect "a directory the preview refuses, in_words replace: warned" \
    "$(tr '\n' ' ' <"$o/out" |
        grep -c "\[WARNING\]: varnex-preview: cannot preview /dev/shm/app: .*; in_words is replace, so the rename runs")" 1
expect "a directory the preview refuses, in_words replace: kernel name" "$(cat "$o/kernel")" newbox

doc=$(ansible-doc -M "$source_dir/ansible" varnex 2>&1)
expect "ansible-doc: status" "$?" 0
expect "ansible-doc: the options" "$(grep -cxE "= name|- dirs" <<<"$doc")" 2
finish

#!/usr/bin/env bash
# The Ansible module, run by a real ansible-playbook on this machine through
# the example playbook: check mode shows the preview's diff and changes
# nothing, a real run renames, a second run has nothing to do, and a failure
# carries varnex's messages. Each run sits in an outer sandbox whose /etc is a
# scratch one written here, and whose host name is oldbox.
set -u
# shellcheck source=tests/expect.sh
. "$(dirname "$0")/expect.sh"
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
mkdir "$t" "$t/etc" "$o" "$o/home" "$o/tmp" || exit 1
# sudo need not be here: the test runs as root already.
printf '%s\n' '[renamed]' "localhost ansible_connection=local ansible_become=false \
ansible_python_interpreter=/usr/bin/python3 new_name=newbox rename_dirs='[\"/etc\", \"/etc/missing\"]'" \
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
play "" --check --diff
expect "check mode: status" "$?" 0
expect "check mode: changed" "$(shows "changed: [localhost]")" 1
expect "check mode: the diff holds the conf line" "$(shows "+host=newbox")" 1
expect "check mode: the diff names the file" "$(shows "+++ /etc/app/app.conf")" 1
expect "check mode: grep's lines are not in the diff" "$(shows "127.0.1.1 oldbox")" 0
expect "check mode: a missing directory warns" \
    "$(grep -c "^\[WARNING\]: system(find -H /etc/missing" "$o/out")" 1
expect "check mode: kernel name kept" "$(cat "$o/kernel")" oldbox
expect "check mode: /etc byte-identical" "$(state)" "$before"

play ""
expect "rename: status" "$?" 0
expect "rename: changed" "$(shows "changed: [localhost]")" 1
expect "rename: a missing directory warns" "$(grep -c "^\[WARNING\]: system(find -H /etc/missing" "$o/out")" 1
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
    mount -o remount,bind,ro /etc/hosts'
expect "a read-only /etc/hosts: status" "$?" 2
expect "a read-only /etc/hosts: failed with varnex's message" \
    "$(grep -c "^fatal: .*\"msg\": \"system(sed -i 's/oldbox/newbox/g' /etc/hosts) failed with 1024.\"" "$o/out")" 1
expect "a read-only /etc/hosts: and sed's" "$(grep -c 'sed: cannot rename /etc/sed[^:]*: Device or resource busy' "$o/out")" 1

play 'mount --bind /etc/hosts /etc/hosts && mount -o remount,bind,ro /etc/hosts' --diff
expect "a read-only /etc/hosts, with --diff: status" "$?" 2
expect "a read-only /etc/hosts, with --diff: failed before the rename" "$(cat "$o/kernel")" oldbox

play 'hostname newbox && echo oldbox >/etc/hostname'
expect "a rename stopped part way: status" "$?" 0
expect "a rename stopped part way: warned" "$(grep -c "a rename stopped part way" "$o/out")" 1

doc=$(ansible-doc -M "$source_dir/ansible" varnex 2>&1)
expect "ansible-doc: status" "$?" 0
expect "ansible-doc: the options" "$(grep -cxE "= name|- dirs" <<<"$doc")" 2
finish

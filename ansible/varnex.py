# Copyright (c) the varnex authors
# SPDX-License-Identifier: ISC

DOCUMENTATION = r'''
module: varnex
short_description: Rename a Linux machine with varnex
description:
  - Renames the managed host with varnex(8). It sets the kernel host name,
    writes C(/etc/hostname), replaces the old name by the new one in
    C(/etc/hosts), and in every C(*conf) file below each of I(dirs).
  - In check mode it runs varnex-preview(8), which makes the same rename in a
    throwaway sandbox and changes nothing. With C(--diff), its diffs are the
    task's diff, in check mode and before a real run alike.
  - Where the kernel name already is I(name), nothing runs and the task is ok.
    If C(/etc/hostname) says otherwise, a rename stopped part way, and the
    task warns of it. Set the old name back with C(hostname OLD), then play
    again.
  - With C(--diff), a real run needs its preview. When varnex-preview fails
    (the rename would fail, or it refuses a directory), the task fails before
    anything changes. Play without C(--diff) to rename without one.
options:
  name:
    description:
      - The new host name. 1 to 63 ASCII letters, digits and dashes, not
        starting with a dash.
    type: str
    required: true
  dirs:
    description:
      - Directories whose C(*conf) files have the old name replaced too, in
        order. A directory given as a symbolic link is searched; links below
        it are not followed. As in every path option, C(~) and environment
        variables are expanded.
    type: list
    elements: path
    default: []
attributes:
  check_mode:
    description: Runs varnex-preview, which changes nothing.
    support: full
  diff_mode:
    description: Shows the lines that the rename changes, from varnex-preview.
    support: full
notes:
  - The replacement is textual and happens inside longer words too. Run the
    play with C(--check --diff) first.
  - Nothing is undone when a step fails; see varnex(8). A play after a failed
    run finds the kernel name already new and is ok, with the rest of the
    rename not done; the warning above says so.
  - Paths and names that are not valid UTF-8 are returned with backslash
    escapes; Ansible itself cannot pass such a path in I(dirs).
requirements:
  - varnex and varnex-preview on the managed host, on PATH or in /usr/sbin
  - root on the managed host (C(become))
author:
  - the varnex authors
'''

EXAMPLES = r'''
- name: Show what the rename would change
  varnex:
    name: web-02
    dirs: [/etc, /opt/app/current]
  check_mode: true
  diff: true

- name: Rename each host to the name the inventory gives it
  varnex:
    name: "{{ new_name }}"
    dirs: [/etc]
  become: true
'''

RETURN = r'''
name:
  description: The new host name.
  returned: always
  type: str
  sample: web-02
old_name:
  description: The kernel host name before the task.
  returned: always
  type: str
  sample: oldbox
files:
  description: The paths on the host whose content changes.
  returned: when varnex-preview succeeded (check mode, or C(--diff))
  type: list
  elements: str
  sample: [/etc/hostname, /etc/hosts, /etc/app/app.conf]
lines:
  description: How many lines change, over all I(files).
  returned: when varnex-preview succeeded
  type: int
  sample: 3
rc:
  description:
    - The exit status of varnex, or of varnex-preview when it ran last (in
      check mode, or when it failed before a real run); the negative signal
      number when it was ended by a signal.
  returned: when varnex or varnex-preview ran
  type: int
  sample: 0
stdout:
  description:
    - What the command wrote to standard output, grep's lines from
      C(/etc/hosts) and, from varnex-preview, the diffs and its summary.
  returned: when varnex or varnex-preview ran
  type: str
stderr:
  description: varnex's transcript, each command it ran and each message.
  returned: when varnex or varnex-preview ran
  type: str
  sample: "new_hostname is web-02.\nold_hostname is oldbox.\n..."
'''

import os
import re
import signal

from ansible.module_utils.basic import AnsibleModule

NAME_RULE = re.compile(r'[A-Za-z0-9][A-Za-z0-9-]{0,62}')

# The messages of a run that went on, each whole even where a directory or
# the old name holds a newline.
WARNING = re.compile(
    r"^(?:system\(.*?\) failed with -?\d+\."
    r"|existing hostname '.*?' not found in /etc/hosts, -?\d+\."
    r"|existing hostname '.*?' is not replaced in /etc/hosts or conf files\."
    r"|'.*?' is a link and not a directory: left alone\.)$",
    re.MULTILINE | re.DOTALL)

HUNK = re.compile(rb'@@ -\d+(?:,(\d+))? \+\d+(?:,(\d+))? @@')
SUMMARY = re.compile(rb'varnex-preview: (\d+) files? would change, (\d+) lines?[.;]')
ESCAPES = {b'a': 7, b'b': 8, b't': 9, b'n': 10, b'v': 11, b'f': 12, b'r': 13,
           b'"': 34, b'\\': 92}


def text(data):
    return data.decode('utf-8', 'backslashreplace')


def unquote(label):
    """The path that diff wrote in C quotes, as bytes."""
    if not (len(label) >= 2 and label.startswith(b'"') and label.endswith(b'"')):
        return label
    path, i, body = bytearray(), 0, label[1:-1]
    while i < len(body):
        if body[i:i + 1] != b'\\':
            path.append(body[i])
            i += 1
        elif re.match(rb'[0-7]{3}', body[i + 1:i + 4]):
            path.append(int(body[i + 1:i + 4], 8) & 0xff)
            i += 4
        else:
            escaped = body[i + 1:i + 2] or b'\\'
            path.append(ESCAPES.get(escaped, escaped[0]))
            i += 2
    return bytes(path)


def read_preview(out):
    """Splits the preview's output into its diffs, the files they change,
    the line count and its notes on longer words. grep's lines from
    /etc/hosts come first, and could look like anything but a diff."""
    lines = out.split(b'\n')
    diff_start = diff_end = None
    files, notes, changed_lines = [], [], 0
    i = 0
    while i < len(lines):
        line = lines[i]
        if (line.startswith(b'--- ') and i + 2 < len(lines)
                and lines[i + 1] == b'+++ ' + line[4:] and HUNK.match(lines[i + 2])):
            if diff_start is None:
                diff_start = i
            files.append(text(unquote(line[4:])))
            i += 2
            while i < len(lines) and HUNK.match(lines[i]):
                counts = HUNK.match(lines[i]).groups()
                old, new = (1 if n is None else int(n) for n in counts)
                i += 1
                while (old > 0 or new > 0) and i < len(lines):
                    mark = lines[i][:1]
                    old -= mark in (b' ', b'-')
                    new -= mark in (b' ', b'+')
                    i += 1
                if i < len(lines) and lines[i].startswith(b'\\'):
                    i += 1
            continue
        summary = SUMMARY.match(line)
        if line.startswith(b'varnex-preview: ') and (diff_start is not None or summary):
            if diff_end is None:
                diff_end = i
            if summary:
                changed_lines = int(summary.group(2))
            else:
                notes.append(text(line))
        i += 1
    prepared = b''
    if diff_start is not None:
        prepared = b'\n'.join(lines[diff_start:diff_end]) + b'\n'
    return text(prepared), files, changed_lines, notes


def read_recorded_name():
    """The name in /etc/hostname: its first line that is not a comment,
    without a domain."""
    try:
        with open('/etc/hostname', 'rb') as recorded:
            lines = text(recorded.read()).splitlines()
    except OSError:
        return None
    names = [line.strip() for line in lines if line.strip() and not line.strip().startswith('#')]
    return names[0].split('.')[0] if names else ''


def kernel_name():
    return text(os.fsencode(os.uname().nodename))


def last_message(transcript):
    lines = [line for line in transcript.split('\n') if line.strip()]
    return lines[-1] if lines else ''


def run(module, command, args):
    rc, out, err = module.run_command([command, module.params['name']] + args,
                                      encoding=None, expand_user_and_vars=False)
    return rc, out, text(err)


def fail_unless_done(module, result, program, rc, err):
    """A status 0 goes on; anything else ends the task as failed."""
    if rc == 0:
        return
    if rc < 0:
        try:
            signal_name = signal.Signals(-rc).name
        except ValueError:
            signal_name = 'signal %d' % -rc
        module.fail_json(msg='%s was killed by %s' % (program, signal_name), **result)
    module.fail_json(msg=last_message(err) or '%s exited with %d' % (program, rc), **result)


def find_program(module, program):
    path = module.get_bin_path(program)
    if not path:
        module.fail_json(msg='cannot find %s on this host, in PATH or an sbin directory: '
                         'is the varnex package installed?' % program)
    return path


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='str', required=True),
            dirs=dict(type='list', elements='path', default=[]),
        ),
        supports_check_mode=True,
    )
    name = module.params['name']
    old_name = kernel_name()
    result = dict(changed=False, name=name, old_name=old_name)
    if not NAME_RULE.fullmatch(name):
        module.fail_json(msg="invalid host name '%s': it must be 1 to 63 ASCII letters, digits "
                         "and dashes, not starting with a dash" % name, **result)
    if name == old_name:
        recorded = read_recorded_name()
        if recorded is not None and recorded != name:
            module.warn("the kernel name is already '%s' but /etc/hostname holds '%s': a rename "
                        "stopped part way; set the old name back with 'hostname OLD' and play "
                        "again to finish it" % (name, recorded))
        module.exit_json(**result)

    dirs = module.params['dirs']
    if module.check_mode or module._diff:
        preview = find_program(module, 'varnex-preview')
        rc, out, err = run(module, preview, dirs)
        prepared, files, lines, notes = read_preview(out)
        # Asked to see the change first, the caller gets no rename without it:
        # a failed preview means that the rename would fail part way, or that
        # a directory was refused.
        result.update(rc=rc, stdout=text(out), stderr=err)
        fail_unless_done(module, result, 'varnex-preview', rc, err)
        result.update(files=files, lines=lines)
        if module._diff:
            result['diff'] = dict(prepared=prepared)
        for note in notes:
            module.warn(note)
        if module.check_mode:
            for warning in WARNING.finditer(err):
                module.warn(warning.group(0))
            result['changed'] = True
            module.exit_json(**result)

    varnex = find_program(module, 'varnex')
    rc, out, err = run(module, varnex, dirs)
    # A failed run may have set the kernel name, its first step, already.
    result.update(changed=kernel_name() != old_name, rc=rc, stdout=text(out), stderr=err)
    fail_unless_done(module, result, 'varnex', rc, err)
    for warning in WARNING.finditer(err):
        module.warn(warning.group(0))
    module.exit_json(**result)


if __name__ == '__main__':
    main()

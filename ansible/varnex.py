# Copyright (c) the varnex authors
# SPDX-License-Identifier: ISC

DOCUMENTATION = r'''
module: varnex
short_description: Rename a Linux machine with varnex
description:
  - Renames the managed host with varnex(8). It sets the kernel host name,
    writes C(/etc/hostname), replaces the old name by the new one in
    C(/etc/hosts), and in every C(*conf) file below each of I(dirs).
  - Before a rename it runs varnex-preview(8), which makes the same rename in
    a throwaway sandbox and changes nothing. In check mode that is all it
    does. With C(--diff), the preview's diffs are the task's diff, in check
    mode and before a real run alike.
  - The task fails before anything changes when the preview fails. Status 1
    means that the rename would stop part way, or that varnex refuses the
    directories; C(msg) carries varnex's reason. Status 2 means that the
    preview cannot run on this host (Linux older than 5.12, as on RHEL 8; a
    user namespace; a directory it cannot sandbox); C(msg) carries the
    preview's reason. Only with I(in_words=replace) does a real run go on
    without the preview then, with a warning and no diff; check mode fails
    all the same.
  - Where the kernel name already is I(name), nothing runs and the task is
    ok. It warns that a rename may have stopped part way when
    C(/etc/hostname) holds another name, or when C(/etc/hosts) does not name
    the host. To finish such a rename, set the old name back with
    C(printf %s OLD > /proc/sys/kernel/hostname), which takes any name the
    kernel does (hostname(1) refuses some, and sysctl(8) drops a leading
    blank), then play again.
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
  in_words:
    description:
      - What to do when the preview finds the old name inside a longer word,
        as C(vm) in C(llvmjit) or C(security.evm), where the textual
        replacement would damage the file.
      - C(refuse) fails the task before anything changes, in check mode too,
        naming each such line.
      - C(replace) renames all the same. A real run then needs no preview,
        and without C(--diff) none runs; where one runs, each such line is a
        warning.
    type: str
    choices: [refuse, replace]
    default: refuse
attributes:
  check_mode:
    description: Runs varnex-preview, which changes nothing.
    support: full
  diff_mode:
    description: Shows the lines that the rename changes, from varnex-preview.
    support: full
notes:
  - Nothing is undone when a step fails; see varnex(8). A failure after the
    kernel name was set is returned with C(changed=true), but Ansible's recap
    counts the host as failed only; C(msg) says what had changed and how to
    finish the rename.
  - A directory below which no C(*conf) file holds the old name is no
    failure; varnex reports it as one, and the module turns that into a line
    of C(notes). A directory that does not exist is a warning.
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

- name: Rename a host whose old name is part of other words, knowingly
  varnex:
    name: web-03
    dirs: [/etc/app]
    in_words: replace
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
  returned: when varnex-preview succeeded
  type: list
  elements: str
  sample: [/etc/hostname, /etc/hosts, /etc/app/app.conf]
lines:
  description: How many lines change, over all I(files).
  returned: when varnex-preview succeeded
  type: int
  sample: 3
in_word_lines:
  description:
    - Each line where the old name is inside a longer word, as the preview
      names it, C(PATH:LINE), and the word.
  returned: when varnex-preview succeeded
  type: list
  elements: str
  sample: ["/etc/xattr.conf:21: 'security.evm'"]
notes:
  description:
    - What varnex reported as a failure but is none, such as
      C(no *conf file below /opt/app holds oldbox).
  returned: always
  type: list
  elements: str
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
    - What the command wrote to standard output; from varnex, grep's lines
      from C(/etc/hosts); from varnex-preview, its diffs.
  returned: when varnex or varnex-preview ran
  type: str
stderr:
  description:
    - varnex's transcript, each command it ran and each message; from
      varnex-preview, the same with grep's lines, then its notes and its
      summary.
  returned: when varnex or varnex-preview ran
  type: str
  sample: "new_hostname is web-02.\nold_hostname is oldbox.\n..."
'''

import os
import re
import shlex
import signal

from ansible.module_utils.basic import AnsibleModule

# Each pattern reads a text that varnex or varnex-preview writes. Beside it,
# after "mirrors" and the sources' directory, each C++ string literal, or
# the piece of one, that it depends on, as the sources spell it;
# tests/ansible_test.sh finds every one of them there.

NAME_RULE = re.compile(r'[A-Za-z0-9][A-Za-z0-9-]{0,62}')

# The warnings of a run that went on, each whole even where a directory or
# the old name holds a newline; and the command of each directory, which
# begins and ends as below whatever it does in between, after the
# announcement that RUNNING begins.
# mirrors src/: "find -H %s -name '*conf' -type f -exec grep
# mirrors src/: 's/%s/%s/g' "
# mirrors src/: "system(%s) failed with %d.\n"
# mirrors src/: "existing hostname '%s' not found in /etc/hosts, %d.\n"
# mirrors src/: "existing hostname '%s' is not replaced in /etc/hosts or conf files.\n"
# mirrors src/: "'%s' is a link and not a directory: left alone.\n"
TRANSCRIPT = re.compile(
    r"^(?:Running '(?P<find>find -H .*?' )'"
    r"|(?P<left_alone>'.*?' is a link and not a directory: left alone\.)"
    r"|(?P<warning>system\((?P<failed>.*?)\) failed with (?P<status>-?\d+)\."
    r"|existing hostname '.*?' not found in /etc/hosts, -?\d+\."
    r"|existing hostname '.*?' is not replaced in /etc/hosts or conf files\.))$",
    re.MULTILINE | re.DOTALL)

# What sed says, in the C locale varnex sets, when the sweep found no file.
NO_INPUT = 'sed: no input files'
NO_INPUT_STATUS = 123 << 8

# mirrors src/: "Running '%s'\n"
RUNNING = "Running '"

# mirrors preview/: "' holds the old name inside a longer word\n"
IN_WORD = re.compile(
    r"^varnex-preview: (?P<where>.*:\d+): (?P<word>'.*') holds the old name inside a longer word$",
    re.MULTILINE)

# mirrors preview/: "the rename would stop with status 1; up to there, "
# mirrors preview/: " would change, "
SUMMARY = re.compile(
    r"^varnex-preview: (?:.*up to there, )?(\d+) files? would change, (\d+) lines?[.;].*$",
    re.MULTILINE)

HUNK = re.compile(rb'@@ -\d+(?:,(\d+))? \+\d+(?:,(\d+))? @@')
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


def changed_files(diff):
    """The files that the preview's diffs change, in order. A changed line
    may itself begin with --- or +++, so each hunk is skipped by its
    counts."""
    lines = diff.split(b'\n')
    files = []
    i = 0
    while i < len(lines):
        line = lines[i]
        if not (line.startswith(b'--- ') and i + 2 < len(lines)
                and lines[i + 1] == b'+++ ' + line[4:] and HUNK.match(lines[i + 2])):
            i += 1
            continue
        files.append(text(unquote(line[4:])))
        i += 2
        while i < len(lines) and HUNK.match(lines[i]):
            old, new = (1 if n is None else int(n) for n in HUNK.match(lines[i]).groups())
            i += 1
            while (old > 0 or new > 0) and i < len(lines):
                mark = lines[i][:1]
                old -= mark in (b' ', b'-')
                new -= mark in (b' ', b'+')
                i += 1
            if i < len(lines) and lines[i].startswith(b'\\'):
                i += 1
    return files


def preview_summary(err):
    """The preview's last line but for an error of its own: how much the
    rename would change, or would have changed before it stopped."""
    summaries = list(SUMMARY.finditer(err))
    return summaries[-1] if summaries else None


def last_line(transcript):
    lines = [line for line in transcript.split('\n') if line.strip()]
    return lines[-1] if lines else ''


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


def hosts_names(name):
    """Whether a line of /etc/hosts gives name, alone or with a domain, to
    an address. Lookups ignore case."""
    try:
        with open('/etc/hosts', 'rb') as hosts:
            lines = text(hosts.read()).splitlines()
    except OSError:
        return False
    name = name.lower()
    for line in lines:
        for alias in line.split('#')[0].lower().split()[1:]:
            if alias == name or alias.startswith(name + '.'):
                return True
    return False


def kernel_name():
    return text(os.fsencode(os.uname().nodename))


def how_to_finish(old):
    """A stopped rename is finished by running it again from the old name,
    set by a write that takes any name the kernel does: hostname(1) refuses
    some, and sysctl(8) drops a leading blank."""
    return ('set the old name back with printf %%s %s > /proc/sys/kernel/hostname and play again'
            % old)


def warn_if_unfinished(module, name):
    """A replay finds the kernel name new whatever the rename did after it."""
    recorded = read_recorded_name()
    found = []
    if recorded is not None and recorded != name:
        found.append("/etc/hostname holds '%s'" % recorded)
    if not hosts_names(name):
        found.append('/etc/hosts does not name it')
    if found:
        module.warn("the kernel name is already '%s' but %s: a rename may have stopped part way, "
                    "leaving /etc/hosts and the conf files with the old name. To finish it, %s; "
                    "if /etc/hosts never named this host, name it there, as sudo needs"
                    % (name, ' and '.join(found), how_to_finish('OLD')))


def fatal_message(transcript):
    """varnex's last message, and what the command it names wrote before it,
    such as sed's reason. The preview's own lines come after it."""
    lines = [line for line in transcript.split('\n')
             if line.strip() and not line.startswith('varnex-preview: ')]
    if not lines:
        return ''
    message, said = lines[-1], []
    for line in reversed(lines[:-1]):
        if line.startswith(RUNNING):
            return ' '.join([message] + list(reversed(said)))
        said.append(line)
    return message


def fail_unless_done(module, result, program, rc, err, summary=''):
    """A status 0 goes on; anything else ends the task as failed, saying
    what had changed by then."""
    if rc == 0:
        return
    if rc < 0:
        try:
            signal_name = signal.Signals(-rc).name
        except ValueError:
            signal_name = 'signal %d' % -rc
        msg = '%s was killed by %s' % (program, signal_name)
    else:
        msg = ' '.join(part for part in (summary, fatal_message(err)) if part)
        msg = msg or '%s exited with %d' % (program, rc)
    if result['changed']:
        where = 'the kernel name holds'
        if read_recorded_name() == result['name']:
            where = 'the kernel name and /etc/hostname hold'
        msg += (" Nothing was undone: %s '%s' already. Mend the cause, %s to finish the rename"
                % (where, result['name'], how_to_finish(shlex.quote(result['old_name']))))
    module.fail_json(msg=msg, **result)


def report_transcript(module, result, transcript, dirs):
    """Each warning of varnex's transcript as a warning, but for a directory
    it says which it was: one that does not exist, one below which no file
    holds the old name (a note, since nothing is wrong), or else varnex's
    line as it stands."""
    remaining = iter(dirs)
    searching = None
    for event in TRANSCRIPT.finditer(transcript):
        if event.group('left_alone'):
            next(remaining, None)
            module.warn(event.group('left_alone'))
        elif event.group('find'):
            searching = (next(remaining, None), event.group('find'), event.end() + 1)
        elif searching and event.group('failed') == searching[1]:
            path, _, start = searching
            said = transcript[start:event.start()].strip('\n')
            if path is not None and not os.path.exists(path):
                module.warn('%s does not exist' % path)
            elif (path is not None and os.path.isdir(path) and said == NO_INPUT
                  and int(event.group('status')) == NO_INPUT_STATUS):
                result['notes'].append('no *conf file below %s holds %s'
                                       % (path, result['old_name']))
            else:
                module.warn(event.group('warning'))
        elif event.group('warning'):
            module.warn(event.group('warning'))


def run(module, command, args):
    rc, out, err = module.run_command([command, module.params['name']] + args,
                                      encoding=None, expand_user_and_vars=False)
    return rc, out, text(err)


def find_program(module, program):
    path = module.get_bin_path(program)
    if not path:
        module.fail_json(msg='cannot find %s on this host, in PATH or an sbin directory: '
                         'is the varnex package installed?' % program)
    return path


def preview(module, result, dirs):
    """Runs the preview, and fails the task where the rename must not run:
    it would stop, it would replace inside words unasked, or the preview
    cannot tell, unless in_words=replace lets a real run go on without it."""
    rc, out, err = run(module, find_program(module, 'varnex-preview'), dirs)
    result.update(rc=rc, stdout=text(out), stderr=err)
    if module._diff:
        result['diff'] = dict(prepared=text(out))
    # The preview's own failure, such as a kernel without mount_setattr.
    if rc == 2:
        reason = last_line(err) or 'varnex-preview exited with 2'
        if module.params['in_words'] == 'replace' and not module.check_mode:
            module.warn('%s; in_words is replace, so the rename runs without a preview' % reason)
            return
        module.fail_json(msg=reason, **result)
    summary = preview_summary(err)
    fail_unless_done(module, result, 'varnex-preview', rc, err, summary.group(0) if summary else '')
    in_word = ['%s: %s' % (found.group('where'), found.group('word'))
               for found in IN_WORD.finditer(err)]
    result.update(files=changed_files(out), lines=int(summary.group(2)) if summary else 0,
                  in_word_lines=in_word)
    if in_word and module.params['in_words'] == 'refuse':
        module.fail_json(msg="the old name '%s' is inside a longer word on %d line%s, and "
                         "in_words is refuse, so nothing was changed: %s. Set in_words: replace "
                         "to rename all the same"
                         % (result['old_name'], len(in_word), '' if len(in_word) == 1 else 's',
                            '; '.join(in_word)), **result)
    for found in IN_WORD.finditer(err):
        module.warn(found.group(0))
    if module.check_mode:
        report_transcript(module, result, err, dirs)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='str', required=True),
            dirs=dict(type='list', elements='path', default=[]),
            in_words=dict(type='str', choices=['refuse', 'replace'], default='refuse'),
        ),
        supports_check_mode=True,
    )
    name = module.params['name']
    old_name = kernel_name()
    result = dict(changed=False, name=name, old_name=old_name, notes=[])
    if not NAME_RULE.fullmatch(name):
        module.fail_json(msg="invalid host name '%s': it must be 1 to 63 ASCII letters, digits "
                         "and dashes, not starting with a dash" % name, **result)
    if name == old_name:
        warn_if_unfinished(module, name)
        module.exit_json(**result)

    dirs = module.params['dirs']
    if module.check_mode or module._diff or module.params['in_words'] == 'refuse':
        preview(module, result, dirs)
        if module.check_mode:
            result['changed'] = True
            module.exit_json(**result)

    rc, out, err = run(module, find_program(module, 'varnex'), dirs)
    # A failed run may have set the kernel name, its first step, already.
    result.update(changed=kernel_name() != old_name, rc=rc, stdout=text(out), stderr=err)
    fail_unless_done(module, result, 'varnex', rc, err)
    report_transcript(module, result, err, dirs)
    module.exit_json(**result)


if __name__ == '__main__':
    main()

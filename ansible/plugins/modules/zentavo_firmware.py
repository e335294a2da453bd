#!/usr/bin/python
# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: zentavo_firmware
short_description: Bring the devices of a station to a firmware image
version_added: 1.0.0
description:
  - Updates the devices of one station, from the station's control PC (the host the task runs
    on), to the firmware image C(image) with C(zentavo-flash update --json).
  - Idempotent. Each device is asked its version first; a device that already runs the image's
    version is left alone (outcome C(current)), so a second run sends nothing and reports no
    change.
  - A device with a newer version than the image is refused unless C(allow_older) is set; a
    device that does not answer fails the task when named in C(devices).
  - Every job is appended to the station PC's update history, as any C(zentavo-flash) run is.
  - In check mode C(zentavo-flash update --dry-run) asks the devices and applies the same rules,
    and the result says what a real run would do; not a byte of the image is sent.
  - With C(--diff) the result shows each device's version before and after.
options:
  image:
    description:
      - Path of the firmware image file on the station PC.
      - The file is checked before any device is contacted; an invalid or missing file fails the
        task and touches no device.
    type: path
    required: true
  devices:
    description:
      - The devices to update.
      - C(all) takes the eligible clusters as the updater's C(Upd. All) does; devices the station
        lists that do not answer or are not eligible are left out and named in C(left_out).
      - A list of device ids (numbers) takes exactly those devices, at most 40; a named device that
        does not answer fails the task.
    type: list
    elements: raw
    default: [all]
  port:
    description:
      - Send over this serial line instead of the network (C(TESTDLL_COM1)/C(TESTDLL_COM2) in the
        task's C(environment) name the serial device).
      - Only with a single device in C(devices).
    type: str
    choices: [com1, com2]
  allow_older:
    description:
      - Install the image also on devices that run a newer version (a downgrade).
    type: bool
    default: false
  allow_reinstall:
    description:
      - Send the image also to devices that already run its version. The task then reports a
        change on every run.
    type: bool
    default: false
  sha256:
    description:
      - The SHA-256 the image file must have (64 hex digits). When the file's differs, the task
        fails and no device is touched.
    type: str
extends_documentation_fragment:
  - quorvane.zentavo.zentavo_flash
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
  platform:
    platforms: posix
seealso:
  - module: quorvane.zentavo.zentavo_devices
author:
  - Quorvane service tools (@quorvane)
'''

EXAMPLES = r'''
- name: Bring the station's clusters to 2.04
  quorvane.zentavo.zentavo_firmware:
    image: /srv/firmware/cluster-2.04.bin
    devices: all

- name: Two named devices, checked against the release's checksum, with a shorter timeout
  quorvane.zentavo.zentavo_firmware:
    image: /srv/firmware/cluster-2.04.bin
    devices: [101, 102]
    sha256: 9f2c1e0d1a1b5f0c3a4e6b7d8c9f0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b
    station: 127.0.0.1:47300
    timeout_ms: 500

- name: A fader unit on the first serial line
  quorvane.zentavo.zentavo_firmware:
    image: /srv/firmware/fader-1.8.mem
    devices: [501]
    port: com1
  environment:
    TESTDLL_COM1: /dev/ttyUSB0

- name: Go back to 2.03 everywhere
  quorvane.zentavo.zentavo_firmware:
    image: /srv/firmware/cluster-2.03.bin
    allow_older: true
'''

RETURN = r'''
msg:
  description: One line on what was done (or, in check mode, what would be done), or why the task failed.
  returned: always
  type: str
  sample: 3 committed, 7 current
station:
  description: The station's address the job went to (in check mode the one given in C(station)).
  returned: when zentavo-flash got as far as the targets
  type: str
  sample: 127.0.0.1:47300
image:
  description: The image as the update history describes it.
  returned: when zentavo-flash got as far as the targets, not in check mode
  type: dict
  sample: {"type": 2, "label": "NetAppl", "name": "Cluster NetAppl", "version": "2.04", "size": 300064,
           "crc32": "1a2b3c4d", "sha256": "3b0c...e1"}
targets:
  description:
    - One entry per device, as the update history holds it.
    - C(outcome) is one of C(committed), C(current), C(unreachable), C(refused), C(transfer-failed),
      C(verify-failed), C(flash-failed), C(cancelled).
    - In check mode the plan instead, with C(action) (C(update), C(current), C(refused),
      C(unreachable)) in place of C(outcome).
  returned: when zentavo-flash got as far as the targets
  type: list
  elements: dict
  sample: [{"id": 101, "address": "192.168.1.20", "name": "Cluster A", "before": "2.03", "after": "2.04",
            "outcome": "committed", "reason": ""}]
left_out:
  description: With C(devices=all), the devices the station lists that were not taken, and why.
  returned: when zentavo-flash got as far as the targets
  type: list
  elements: dict
  sample: [{"id": 401, "reason": "not answering"}]
failed_targets:
  description: The ids of the devices that neither committed nor were current (would not be, in check mode).
  returned: when zentavo-flash got as far as the targets
  type: list
  elements: int
  sample: [102]
'''

import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quorvane.zentavo.plugins.module_utils.zentavo_flash import (
    COMMON_ARGS, failure_text, run_flash)

_OK = {'committed', 'current'}
_PLAN_OK = {'update', 'current'}


def device_options(module, devices):
    """`--all`, or one `--device ID` per id; fails on anything that is not a number."""
    if [str(d).strip() for d in devices] == ['all']:
        return ['--all']
    options, bad = [], []
    for d in devices:
        # bool is an int to Python, and yes/no in YAML would slip through as 1/0.
        if isinstance(d, int) and not isinstance(d, bool):
            options += ['--device', str(d)]
        elif isinstance(d, str) and re.match(r'^\s*-?[0-9]+\s*$', d):
            options += ['--device', d.strip()]
        else:
            bad.append(d)
    if bad or not options:
        module.fail_json(msg='devices: %s; give all or a list of device ids (numbers)'
                         % ('%r is not a device id' % (bad[0],) if bad else 'the list is empty'))
    return options


def version_lines(targets, key):
    return ''.join('%s %s %s\n' % (t.get('id'), t.get('name', ''), t.get(key) or '-') for t in targets)


def describe(t, reason_key):
    text = '%s' % t.get('id')
    if t.get('name'):
        text += ' (%s)' % t['name']
    text += ' ' + t.get(reason_key, '?')
    if t.get('reason'):
        text += ': ' + t['reason']
    return text


def main():
    module = AnsibleModule(
        argument_spec=dict(
            image=dict(type='path', required=True),
            devices=dict(type='list', elements='raw', default=['all']),
            port=dict(type='str', choices=['com1', 'com2']),
            allow_older=dict(type='bool', default=False),
            allow_reinstall=dict(type='bool', default=False),
            sha256=dict(type='str'),
            **COMMON_ARGS
        ),
        supports_check_mode=True,
    )
    p = module.params
    options = device_options(module, p['devices'])
    if p['port']:
        options += ['--port', p['port']]
    if p['allow_older']:
        options.append('--allow-older')
    if p['allow_reinstall']:
        options.append('--allow-reinstall')
    if p['sha256'] is not None:
        options += ['--sha256', p['sha256']]
    if module.check_mode:
        options.append('--dry-run')

    rc, events, said = run_flash(module, 'update', options, [p['image']])

    # The real run ends with the job's history entry; a dry run plans each target instead.
    entry = events[-1] if events and isinstance(events[-1], dict) and 'targets' in events[-1] else None
    if module.check_mode:
        targets = [e for e in events if isinstance(e, dict) and e.get('event') == 'plan']
        for t in targets:
            del t['event']
        key, ok, done = 'action', _PLAN_OK, 'update'
    else:
        targets = entry['targets'] if entry else []
        key, ok, done = 'outcome', _OK, 'committed'
    if not targets and rc != 0:
        # Refused before any device was reached: bad usage, an invalid file, no station.
        module.fail_json(msg=failure_text(p['executable'], rc, said), rc=rc)
    if entry is None and not module.check_mode:
        module.fail_json(msg='%s printed no result; it said: %s' % (p['executable'], said or 'nothing'), rc=rc)

    left_out = [dict((k, v) for k, v in e.items() if k != 'event')
                for e in events if isinstance(e, dict) and e.get('event') == 'left-out']
    failed = [t for t in targets if t.get(key) not in ok]
    changed = any(t.get(key) == done for t in targets)
    counts = {}
    for t in targets:
        counts[t.get(key)] = counts.get(t.get(key), 0) + 1
    summary = ', '.join('%d %s' % (n, ('to update' if k == 'update' else k)) for k, n in sorted(counts.items()))
    if left_out:
        reasons = {}
        for e in left_out:
            reasons.setdefault(e.get('reason'), []).append(str(e.get('id')))
        summary += ', %d left out (%s)' % (len(left_out), '; '.join('%s: %s' % (r, ', '.join(ids))
                                                                   for r, ids in sorted(reasons.items())))

    result = dict(
        changed=changed,
        msg=summary or 'no target',
        station=(entry or {}).get('station') or p['station'],
        image=(entry or {}).get('image'),
        targets=targets,
        left_out=left_out,
        failed_targets=[t.get('id') for t in failed],
    )
    if module._diff:
        where = result['station'] or 'the station'
        result['diff'] = dict(before=version_lines(targets, 'before'), after=version_lines(targets, 'after'),
                              before_header='%s: installed' % where,
                              after_header='%s: %s' % (where, 'planned' if module.check_mode else 'after the update'))

    problems = []
    if failed:
        problems.append('%d of %d devices %s: %s' % (
            len(failed), len(targets), 'would not be updated' if module.check_mode else 'not updated',
            '; '.join(describe(t, key) for t in failed)))
    if entry and entry.get('interrupted'):
        problems.append('the job was interrupted')
    if rc != 0 and not problems:
        problems.append(failure_text(p['executable'], rc, said))
    if problems:
        result['msg'] = '; '.join(problems)
        module.fail_json(rc=rc, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()

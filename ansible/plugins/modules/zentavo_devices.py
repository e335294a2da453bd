#!/usr/bin/python
# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: zentavo_devices
short_description: The devices of a station, as facts
version_added: 1.0.0
description:
  - Scans the station from its control PC (the host the task runs on) with
    C(zentavo-flash scan --json) and returns every device the station lists, those that do not
    answer included, as the fact C(zentavo_devices).
  - Changes nothing; runs the same in check mode.
extends_documentation_fragment:
  - quorvane.zentavo.zentavo_flash
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.facts
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  facts:
    support: full
  platform:
    platforms: posix
seealso:
  - module: quorvane.zentavo.zentavo_firmware
author:
  - Quorvane service tools (@quorvane)
'''

EXAMPLES = r'''
- name: Ask the station for its devices
  quorvane.zentavo.zentavo_devices:
    station: 127.0.0.1:47300
    timeout_ms: 500

- name: Name the devices that did not answer
  ansible.builtin.debug:
    msg: "{{ zentavo_devices | rejectattr('answering') | map(attribute='id') | list }}"
'''

RETURN = r'''
ansible_facts:
  description: The facts this module sets.
  returned: success
  type: complex
  contains:
    zentavo_devices:
      description:
        - The devices in the order the station lists them.
        - A device that answered has C(answering=true), C(address), C(version), C(name), C(label),
          C(family), C(kind) and C(eligible) (whether C(devices: all) of M(quorvane.zentavo.zentavo_firmware)
          takes it); one that did not has C(id) and C(answering=false) alone.
      type: list
      elements: dict
      sample: [{"id": 101, "answering": true, "address": "192.168.1.20", "version": "2.03", "name": "Cluster A",
                "label": "Cluster A (02)", "family": 1, "kind": 1, "eligible": true},
               {"id": 401, "answering": false}]
msg:
  description: How many devices the station lists and how many of them answered.
  returned: always
  type: str
  sample: 11 devices, 10 answering
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quorvane.zentavo.plugins.module_utils.zentavo_flash import (
    COMMON_ARGS, failure_text, run_flash)


def main():
    module = AnsibleModule(argument_spec=dict(**COMMON_ARGS), supports_check_mode=True)
    rc, events, said = run_flash(module, 'scan', [])
    executable = module.params['executable']
    if rc != 0:
        module.fail_json(msg=failure_text(executable, rc, said), rc=rc)
    if len(events) != 1 or not isinstance(events[0], list):
        module.fail_json(msg='%s scan printed no device list' % executable, rc=rc)
    devices = events[0]
    answering = sum(1 for d in devices if d.get('answering', True))
    module.exit_json(changed=False, msg='%d devices, %d answering' % (len(devices), answering),
                     ansible_facts=dict(zentavo_devices=devices))


if __name__ == '__main__':
    main()

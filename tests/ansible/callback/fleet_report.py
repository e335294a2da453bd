# -*- coding: utf-8 -*-
"""Writes every task result and the closing stats of a playbook run to the JSON file
$ZU_ANSIBLE_REPORT, for the fleet test and benchmark to read (ansible-core has no json
callback of its own)."""
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import time

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = '''
name: fleet_report
type: aggregate
short_description: task results and stats as JSON in $ZU_ANSIBLE_REPORT
description: Every task result, with its start and end time, and the run's stats.
'''


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'fleet_report'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.results, self.started = [], {}

    def v2_runner_on_start(self, host, task):
        self.started[(host.get_name(), task._uuid)] = time.time()

    def _record(self, result, **extra):
        key = (result._host.get_name(), result._task._uuid)
        entry = dict(result._result, **extra)
        self.results.append({'task': result._task.get_name(), 'host': key[0], 'result': entry,
                             'start': self.started.get(key), 'end': time.time()})

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_playbook_on_stats(self, stats):
        with open(os.environ['ZU_ANSIBLE_REPORT'], 'w') as f:
            json.dump({'results': self.results,
                       'stats': dict((h, stats.summarize(h)) for h in sorted(stats.processed))}, f, default=str)

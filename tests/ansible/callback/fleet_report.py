# Writes each task result, with its start and end time, and the stats of a playbook run to
# the JSON file $ZU_ANSIBLE_REPORT (ansible-core has no JSON callback of its own).
import json
import os
import time

from ansible.plugins.callback import CallbackBase


class CallbackModule(CallbackBase):
    CALLBACK_VERSION, CALLBACK_TYPE, CALLBACK_NAME, CALLBACK_NEEDS_ENABLED = 2.0, 'aggregate', 'fleet_report', True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.results, self.started = [], {}

    def v2_runner_on_start(self, host, task):
        self.started[(host.get_name(), task._uuid)] = time.time()

    def record(self, result, **flags):
        host = result._host.get_name()
        self.results.append({'task': result._task.get_name(), 'host': host, 'result': dict(result._result, **flags),
                             'start': self.started.get((host, result._task._uuid)), 'end': time.time()})

    def v2_runner_on_ok(self, result):
        self.record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.record(result, failed=True)

    def v2_runner_on_unreachable(self, result):
        self.record(result, unreachable=True)

    def v2_playbook_on_stats(self, stats):
        with open(os.environ['ZU_ANSIBLE_REPORT'], 'w') as f:
            json.dump({'results': self.results, 'stats': {h: stats.summarize(h) for h in stats.processed}}, f,
                      default=str)

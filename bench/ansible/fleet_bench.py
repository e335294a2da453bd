#!/usr/bin/env python3
"""The fleet playbook: 20 simulated stations of 10 clusters each, 1 MiB images, a 100 Mbit/s
link and 4 MB/s of flash per device, every station in one batch with 20 forks, all on the
local connection. Alternates runs on the first station alone and on all 20, each with a newer
image so that every device takes it, three of each, and in the same way ansible.builtin.ping
on 1 and on 20 hosts: Ansible's own cost per host, the floor any module stands on. Prints:
  - the whole run's time (ansible-playbook from start to exit), 20 stations against 1, and the
    same for ping; the CPU time of each run (ansible-playbook and everything it started);
  - the module's own overhead per station: the module's process on the station PC, less the
    zentavo-flash run inside it. Wrappers time both: the interpreter Ansible runs the module
    with, and zentavo-flash;
  - the task's time per station on the controller (from the task's start to the host's
    result), less zentavo-flash: the module's overhead and Ansible's.

    bench/ansible/fleet_bench.py [BIN_DIR]      (default: build/bin)
"""
import os
import resource
import statistics
import sys

sys.dont_write_bytecode = True
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'ansible'))
import fleet  # noqa: E402

BIN = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build', 'bin'))
PLAYBOOK = os.path.join(ROOT, 'ansible', 'playbooks', 'update-fleet.yml')
UPDATE = "Bring the station's devices to the image"
STATIONS, DEVICES, RUNS, MIB = 20, 10, 3, 1 << 20

# Each wrapper logs "PID START_NS END_NS ..." after the program it runs; zentavo-flash's adds
# its parent's parent, the interpreter wrapper that started the module.
INTERPRETER = '''#!/bin/sh
t0=$(date +%%s%%N)
/usr/bin/python3 "$@"
status=$?
echo "$$ $t0 $(date +%%s%%N)" >>"%s"
exit $status
'''
FLASH = '''#!/bin/sh
t0=$(date +%%s%%N)
"%s" "$@"
status=$?
t1=$(date +%%s%%N)
echo "$(ps -o ppid= -p $PPID | tr -d ' ') $t0 $t1 $*" >>"%s"
exit $status
'''
PING = '''---
- name: Ping
  hosts: stations
  gather_facts: false
  tasks:
    - name: Ping
      ansible.builtin.ping:
'''


def timed(log):
    """{pid: (seconds, rest of the line)} of a wrapper's log."""
    runs = {}
    for line in fleet.read(log).splitlines():
        pid, t0, t1, *rest = line.split()
        runs[pid] = ((int(t1) - int(t0)) / 1e9, rest)
    return runs


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def trio(values):
    return '%.2f / %.2f / %.2f' % (min(values), statistics.median(values), max(values))


def main():
    with fleet.Fleet(BIN, ROOT, prefix='zu-fleet-bench-') as f:
        modules, flashes = f.path('module-times'), f.path('flash-times')
        for name, text in (('python', INTERPRETER % modules),
                           ('zentavo-flash', FLASH % (os.path.join(BIN, 'zentavo-flash'), flashes))):
            os.chmod(f.write(name, text), 0o755)
        ping = f.write('ping.yml', PING)
        stations = [fleet.Station(f, 'st%02d' % i, [fleet.cluster(101 + d) for d in range(DEVICES)], 100000, 4000)
                    for i in range(STATIONS)]
        inventory = f.inventory('inventory.json', dict(
            (st.name, {'ansible_connection': 'local', 'zentavo_station': st.address}) for st in stations),
            zentavo_flash=f.path('zentavo-flash'), zentavo_timeout_ms=2000, ansible_python_interpreter=f.path('python'))
        wall = dict((k, []) for k in ('fleet1', 'fleet20', 'ping1', 'ping20'))
        cpu = dict((k, []) for k in wall)
        module, task = {1: [], STATIONS: []}, {1: [], STATIONS: []}
        for n in range(RUNS * 2):
            count = 1 if n % 2 == 0 else STATIONS
            limit = ['--limit', 'st00'] if count == 1 else []
            for log in (modules, flashes):
                if os.path.exists(log):
                    os.remove(log)
            image = f.image('fw-%d.bin' % n, '3.%d' % n, MIB)
            before = cpu_seconds()
            seconds, run = f.playbook(inventory, PLAYBOOK, '-f', str(STATIONS), '-e', 'zentavo_image=' + image,
                                      '-e', 'zentavo_batch=%d' % STATIONS, *limit)
            cpu['fleet%d' % count].append(cpu_seconds() - before)
            wall['fleet%d' % count].append(seconds)
            results, module_runs, flash_runs = run.results(UPDATE), timed(modules), timed(flashes)
            committed = sum(1 for r in results.values() for t in r.get('targets', []) if t['outcome'] == 'committed')
            if run.rc != 0 or committed != count * DEVICES or len(flash_runs) != count:
                raise SystemExit('run %d: %d of %d devices committed\n%s' % (n, committed, count * DEVICES, run))
            by_station = dict((rest[rest.index('--station') + 1], (seconds, pid))
                              for pid, (seconds, rest) in flash_runs.items())
            for r in results.values():
                flash, pid = by_station[r['station']]
                module[count].append(module_runs[pid][0] - flash)
                task[count].append(r['_seconds'] - flash)

            before = cpu_seconds()
            seconds, run = f.playbook(inventory, ping, '-f', str(STATIONS), *limit)
            cpu['ping%d' % count].append(cpu_seconds() - before)
            wall['ping%d' % count].append(seconds)
            if run.rc != 0:
                raise SystemExit('ping: %s' % run)

    med = dict((k, statistics.median(v)) for k, v in wall.items())
    print('figure | median | target | peer | ratio')
    print('fleet playbook, %d stations x %d devices / 1 station, 1 MiB, 100 Mbit/s link, 4 MB/s flash, %d forks '
          '(ratio) | %.2f | <= 2.0 | 1 station %.2f s | %d stations %.2f s'
          % (STATIONS, DEVICES, STATIONS, med['fleet20'] / med['fleet1'], med['fleet1'], STATIONS, med['fleet20']))
    print('ansible.builtin.ping, %d hosts / 1 host, same forks, same run (ratio) | %.2f | - | 1 host %.2f s | '
          '%d hosts %.2f s' % (STATIONS, med['ping20'] / med['ping1'], med['ping1'], STATIONS, med['ping20']))
    print('fleet playbook, whole run min / median / max, 1 station; 20 stations (s) | %s | - | %s | -'
          % (trio(wall['fleet1']), trio(wall['fleet20'])))
    print('CPU time of a run, fleet playbook 1 / %d stations; ping 1 / %d hosts (s) | %.1f / %.1f | - | '
          '%.1f / %.1f | -' % (STATIONS, STATIONS, statistics.median(cpu['fleet1']), statistics.median(cpu['fleet20']),
                               statistics.median(cpu['ping1']), statistics.median(cpu['ping20'])))
    for count, what in ((1, '1 station alone'), (STATIONS, '%d stations at once' % STATIONS)):
        print('zentavo_firmware own overhead per station: module run less zentavo-flash, %s (s) | %.2f | <= 0.5 | '
              'min / median / max %s | -' % (what, statistics.median(module[count]), trio(module[count])))
    print('the task per station on the controller, less zentavo-flash, alone; %d at once (s) | %.2f | - | %.2f | -'
          % (STATIONS, statistics.median(task[1]), statistics.median(task[STATIONS])))


if __name__ == '__main__':
    main()

#!/usr/bin/env python3
"""The collection's fleet playbook against three stationsim stations: one station PC reached
over ssh (an sshd of the test's own), two on the local connection. Four playbook runs:
  1. check mode with diff, and bad input (check_mode off): every station would change, nothing
     is sent, every state file keeps its bytes; each bad input fails with one clear message;
     the devices module lists the station's silent device.
  2. the update: changed on each station, every device committed.
  3. the same again: changed=0, not one upload begun.
  4. a newer image, one station at a time, the second station with a device whose flash fails:
     that station fails naming the device's reason, the third is never reached.
Exit 77 (skipped) when Ansible or OpenSSH is not installed.
"""
import os
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fleet  # noqa: E402

BIN = os.environ.get('ZU_BIN_DIR', 'build/bin')
SOURCE = os.environ.get('ZU_SOURCE_DIR', os.path.join(os.path.dirname(__file__), '..', '..'))
PLAYBOOK = os.path.join(SOURCE, 'ansible', 'playbooks', 'update-fleet.yml')
BAD_INPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'bad-input.yml')
UPDATE = "Bring the station's devices to the image"


def expect(condition, what, *context):
    if not condition:
        raise AssertionError(what + ''.join('\n  %s' % (c,) for c in context))


def per_host(run, task, names):
    results = run.results(task)
    expect(sorted(results) == sorted(names), '%s ran on %s, not %s' % (task, sorted(results), names), run)
    return results


def main():
    missing = fleet.missing_tools()
    if missing:
        print('SKIPPED: not installed: %s (scripts/deps installs them)' % ', '.join(missing))
        return 77
    with fleet.Fleet(BIN, SOURCE) as f:
        old, new = f.image('cluster-2.4.bin', '2.4'), f.image('cluster-2.5.bin', '2.5')
        stations = {'st1': f.station('st1', [fleet.cluster(101), fleet.cluster(102)]),
                    'st2': f.station('st2', [fleet.cluster(i) for i in (101, 102, 103)]),
                    'st3': f.station('st3', [fleet.cluster(101), fleet.cluster(401, silent=True)])}
        names = sorted(stations)
        ssh = f.sshd()

        def inventory(image):
            hosts = {}
            for name, st in stations.items():
                hosts[name] = dict(ssh if name == 'st1' else {'ansible_connection': 'local'},
                                   zentavo_station=st.address,
                                   zentavo_environment={'XDG_STATE_HOME': f.path(name + '-history')})
            return f.inventory('inventory.json', hosts, zentavo_image=image, zentavo_timeout_ms=300,
                               zentavo_flash=os.path.join(BIN, 'zentavo-flash'))

        def snapshot():
            return dict((n, (fleet.read(st.state), len(st.requests()))) for n, st in stations.items())

        def uploads_since(before):
            return dict((n, [r for r in st.requests()[before[n][1]:] if r.startswith('stationsim: upload ')])
                        for n, st in stations.items())

        # 1. Check mode and bad input.
        before = snapshot()
        seconds, run = f.playbook(inventory(old), '--check', '--diff', BAD_INPUT, PLAYBOOK)
        print('check mode and bad input: %.1f s' % seconds)
        expect(run.rc == 0, 'the check-mode run failed', run)
        for name, result in per_host(run, UPDATE, names).items():
            expect(result['changed'] and {t['action'] for t in result['targets']} == {'update'},
                   name + ': not every device planned for an update', result)
            expect('2.03' in result['diff']['before'] and '2.04' in result['diff']['after'],
                   name + ': the diff lacks the versions', result['diff'])
        expect(per_host(run, UPDATE, names)['st3']['left_out'] == [{'id': 401, 'reason': 'not answering'}],
               'st3: the silent device is not named as left out', run.results(UPDATE)['st3'])
        for name in names:
            expect(fleet.read(stations[name].state) == before[name][0], name + ': check mode changed the state file')
        expect(not any(uploads_since(before).values()), 'check mode sent an image', uploads_since(before))

        bad = run.results('Bad input')['st3']['results']
        for item, needle in zip(bad, ('missing.bin', '99999', "'1o2'")):
            print('  bad input: ' + item['msg'])
            expect(item.get('failed') and needle in item['msg'] and '\n' not in item['msg'],
                   'bad input %s: not one failed line naming it' % needle, item)
        devices = run.results("The station's devices")['st3']
        expect({'id': 401, 'answering': False} in devices.get('ansible_facts', {}).get('zentavo_devices', [])
               and devices['msg'] == '2 devices, 1 answering', 'the silent device is not listed', devices)

        # 2. The update.
        before = snapshot()
        seconds, run = f.playbook(inventory(old), PLAYBOOK)
        print('update: %.1f s' % seconds)
        expect(run.rc == 0, 'the update failed', run)
        for name, result in per_host(run, UPDATE, names).items():
            expect(result['changed'] and {t['outcome'] for t in result['targets']} == {'committed'},
                   name + ': not every device committed', result)
            versions = stations[name].versions()
            expect(all(v == [2, 4] for k, v in versions.items() if k != '401'),
                   name + ': the state file does not hold 2.4', versions)
            expect(os.path.exists(f.path(name + '-history', 'Quorvane', 'zentavo-update', 'history.jsonl')),
                   name + ': no history written where its environment says')
        summary = run.results('Summary')
        expect(all('%s (%s): ' % (n, stations[n].address) in summary[n]['msg'] for n in names),
               'the summary lines do not name each station', summary)

        # 3. Again: nothing to do, nothing sent.
        before = snapshot()
        seconds, run = f.playbook(inventory(old), PLAYBOOK)
        print('second update: %.1f s' % seconds)
        expect(run.rc == 0 and all(run.stats[n]['changed'] == 0 for n in names), 'the second run changed', run)
        expect(not any(uploads_since(before).values()), 'the second run sent an image', uploads_since(before))

        # 4. A device whose flash fails, one station a batch: the batch after it never runs.
        stations['st2'].start([fleet.cluster(101, (2, 4)), fleet.cluster(102, (2, 4)),
                               fleet.cluster(103, (2, 4), flash_fail=True)])
        before = snapshot()
        seconds, run = f.playbook(inventory(new), PLAYBOOK, '-e', 'zentavo_batch=1')
        print('failing batch: %.1f s' % seconds)
        results = run.results(UPDATE)
        expect(run.rc != 0 and sorted(results) == ['st1', 'st2'], 'st3 was not spared', run)
        expect(results['st1']['changed'] and not results['st1'].get('failed'), 'st1 was not updated', results['st1'])
        failed = results['st2']
        reason = [t for t in failed.get('targets', []) if t['id'] == 103]
        expect(failed.get('failed') and reason and reason[0]['outcome'] == 'flash-failed' and reason[0]['reason']
               and '103' in failed['msg'] and reason[0]['reason'] in failed['msg'],
               "st2 did not fail with device 103's reason", failed)
        expect(failed['msg'] in run.results('Summary')['st2']['msg'], 'st2 has no summary line', run)
        print('  ' + run.results('Summary')['st2']['msg'])
        expect(len(stations['st3'].requests()) == before['st3'][1]
               and fleet.read(stations['st3'].state) == before['st3'][0], 'st3 was contacted')
    print('fleet playbook: check mode, update, idempotence, bad input, failing batch: all passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())

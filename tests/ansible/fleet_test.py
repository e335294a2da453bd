#!/usr/bin/env python3
"""The fleet playbook against three stations: st1's PC reached over ssh (an sshd of our own),
st2 and st3 on the local connection, st3 with a silent device. Four runs: check mode with
diff, plus bad input run for real; the update; the same again; a newer image in batches,
st2 with a device whose flash fails. Exit 77 (skipped) without Ansible or OpenSSH."""
import json
import os
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fleet  # noqa: E402

BIN, SOURCE = os.environ.get('ZU_BIN_DIR', 'build/bin'), os.environ.get('ZU_SOURCE_DIR', '.')
PLAYBOOK = os.path.join(SOURCE, 'ansible', 'playbooks', 'update-fleet.yml')


def expect(condition, what, *context):
    if not condition:
        raise AssertionError('\n  '.join([what] + [str(c) for c in context]))


def main():
    if fleet.MISSING:
        print('SKIPPED: not installed: %s (scripts/deps installs them)' % ', '.join(fleet.MISSING))
        return 77
    with fleet.Fleet(BIN, SOURCE) as f:
        old, new = f.image('cluster-2.4.bin', '2.4'), f.image('cluster-2.5.bin', '2.5')
        stations = {'st1': fleet.Station(f, 'st1', [fleet.cluster(101), fleet.cluster(102)]),
                    'st2': fleet.Station(f, 'st2', [fleet.cluster(i) for i in (101, 102, 103)]),
                    'st3': fleet.Station(f, 'st3', [fleet.cluster(101), fleet.cluster(401, silent=True)])}
        ssh = f.sshd()

        def run(image, *args):
            """A run on all three: (Run, update results, each station's state and request count before)."""
            before = {n: (fleet.read(st.state), len(st.requests())) for n, st in stations.items()}
            hosts = {n: dict(ssh if n == 'st1' else {'ansible_connection': 'local'}, zentavo_station=st.address,
                             zentavo_environment={'XDG_STATE_HOME': f.path(n + '-state')})
                     for n, st in stations.items()}
            inventory = f.inventory('inventory.json', hosts, zentavo_image=image, zentavo_timeout_ms=500,
                                    zentavo_flash=os.path.join(BIN, 'zentavo-flash'))
            seconds, ran = f.playbook(inventory, *args)
            print('%.1f s: ansible-playbook %s' % (seconds, ' '.join(os.path.basename(a) for a in args)))
            return ran, ran.results("Bring the station's devices to the image"), before

        def uploads(before):
            return [r for n, st in stations.items() for r in st.requests()[before[n][1]:] if ' upload ' in r]

        # Check mode: every station would change, nothing is sent, no state file changes.
        ran, results, before = run(old, '--check', '--diff', os.path.join(os.path.dirname(__file__), 'bad-input.yml'),
                                   PLAYBOOK)
        expect(ran.rc == 0 and sorted(results) == sorted(stations) and not uploads(before), 'check mode', ran)
        for name, result in results.items():
            expect(result['changed'] and {t['action'] for t in result['targets']} == {'update'}
                   and '+++ after: %s: planned' % stations[name].address in ran.output
                   and fleet.read(stations[name].state) == before[name][0], name + ': not planned 2.03 -> 2.04', ran)
        expect(ran.output.count('\n-101 Cluster 101 2.03\n') == ran.output.count('\n+101 Cluster 101 2.04\n') == 3,
               'the diff lacks the versions', ran)
        expect(results['st3']['left_out'] == [{'id': 401, 'reason': 'not answering'}], 'st3: 401', results['st3'])
        # Bad input, run for real: each fails with one line naming what is wrong, nothing is sent.
        for item, needle in zip(ran.results('Bad input')['st3']['results'], ('missing.bin', '99999', "'1o2'")):
            print('  bad input: ' + item['msg'])
            expect(item.get('failed') and needle in item['msg'] and '\n' not in item['msg'], 'bad input', item)
        scan = ran.results("The station's devices")['st3']
        expect({'id': 401, 'answering': False} in scan['ansible_facts']['zentavo_devices']
               and scan['msg'] == '2 devices, 1 answering', 'the scan lacks the silent device', scan)

        # The update: every device commits; then again: changed=0 and not one upload begun.
        ran, results, _ = run(old, PLAYBOOK)
        for name, result in results.items():
            versions = json.loads(fleet.read(stations[name].state))['versions']
            expect(ran.rc == 0 and {t['outcome'] for t in result['targets']} == {'committed'} and result['changed']
                   and all(v == [2, 4] for k, v in versions.items() if k != '401')
                   and os.path.exists(f.path(name + '-state', 'Quorvane', 'zentavo-update', 'history.jsonl'))
                   and ran.results('Summary')[name]['msg'] == '%s (%s): %s' % (name, stations[name].address,
                                                                               result['msg']),
                   name + ': not every device committed 2.4 (or no history, or no summary)', ran, result, versions)
        ran, results, before = run(old, PLAYBOOK)
        expect(ran.rc == 0 and not any(r['changed'] for t, h, s, r in ran.cases) and len(results) == 3
               and not uploads(before), 'the second run changed something', ran, uploads(before))

        # st2's device 103 fails its flash: st2 fails naming 103's reason, and st3, in the batch
        # after it, is never contacted. Two stations a batch, as one a batch stops after a batch
        # that failed whole even without max_fail_percentage: 0.
        stations['st2'].start([fleet.cluster(i, (2, 4), flash_fail=i == 103) for i in (101, 102, 103)])
        ran, results, before = run(new, PLAYBOOK, '-e', 'zentavo_batch=2')
        failed = {h: r for h, r in ran.results('Summary').items() if r.get('failed')}
        reason = [t['reason'] for t in results.get('st2', {}).get('targets', []) if t['outcome'] == 'flash-failed']
        expect(ran.rc != 0 and sorted(results) == ['st1', 'st2'] and results['st1']['changed']
               and list(failed) == ['st2'] and failed['st2'].get('failed') and results['st2']['failed_targets'] == [103]
               and reason[0] and '103 (Cluster 103) flash-failed: ' + reason[0] in failed['st2']['msg'],
               "st2 did not fail with 103's reason", ran)
        print('  ' + ran.results('Summary')['st2']['msg'])
        expect((fleet.read(stations['st3'].state), len(stations['st3'].requests())) == before['st3'], 'st3 contacted')
    print('fleet playbook: check mode, bad input, update, second run, failing batch: all passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())

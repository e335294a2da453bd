"""The collection driven from outside: stationsim stations with state files and request logs,
firmware images from mkfwimage, an sshd of our own on loopback, inventories and ansible-playbook
runs on a private configuration whose results callback/fleet_report.py writes down.

Every process started here writes to a file in the fleet's folder and is stopped with it; waits
are for a line in such a file, bounded.
"""
import getpass
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def missing_tools():
    """The programs these runs need that are not installed (scripts/deps installs them)."""
    tools = {'ansible-playbook': shutil.which('ansible-playbook'), 'ssh': shutil.which('ssh'),
             'ssh-keygen': shutil.which('ssh-keygen'), 'sshd': shutil.which('sshd') or '/usr/sbin/sshd'}
    return [name for name, path in tools.items() if not path or not os.access(path, os.X_OK)]


def cluster(device_id, version=(2, 3), **faults):
    """A cluster "Upd. All" takes, at `version`, with stationsim faults (flash_fail=True ...)."""
    return {'id': device_id, 'name': 'Cluster %d' % device_id, 'family': 1, 'kind': 1,
            'sub': device_id % 256, 'letter': 'A', 'version': list(version), 'faults': faults}


class Fleet:
    def __init__(self, bin_dir, source_dir, prefix='zu-fleet-'):
        self.bin = bin_dir
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self._procs = []
        collections = self.path('collections')
        os.makedirs(os.path.join(collections, 'ansible_collections', 'quorvane'))
        os.symlink(os.path.join(source_dir, 'ansible'),
                   os.path.join(collections, 'ansible_collections', 'quorvane', 'zentavo'))
        for folder in ('home', 'local-tmp', 'remote-tmp'):
            os.makedirs(self.path(folder))
        # Nothing of the machine's or the user's Ansible set-up applies.
        self.env = dict(os.environ, ANSIBLE_CONFIG=self.write('ansible.cfg', '[defaults]\n'),
                        ANSIBLE_HOME=self.path('home'), ANSIBLE_COLLECTIONS_PATH=collections,
                        ANSIBLE_LOCAL_TEMP=self.path('local-tmp'), ANSIBLE_REMOTE_TEMP=self.path('remote-tmp'),
                        ANSIBLE_CALLBACK_PLUGINS=os.path.join(os.path.dirname(os.path.abspath(__file__)), 'callback'),
                        ANSIBLE_CALLBACKS_ENABLED='fleet_report', ANSIBLE_PIPELINING='1', ANSIBLE_NOCOLOR='1',
                        ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_PYTHON_INTERPRETER='/usr/bin/python3',
                        PYTHONDONTWRITEBYTECODE='1',
                        ANSIBLE_SSH_ARGS='-o ControlMaster=no -o ControlPath=none')

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        for proc in self._procs:
            stop(proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, text):
        with open(self.path(name), 'w') as f:
            f.write(text)
        return self.path(name)

    def spawn(self, args, log, ready, timeout=20):
        """Starts `args` with its output in the file `log`; returns (process, match of `ready`)."""
        with open(self.path(log), 'ab') as out:
            seen = out.tell()  # a restart appends to the log of the earlier run
            proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)
        self._procs.append(proc)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and proc.poll() is None:
            match = re.search(ready, read(self.path(log))[seen:])
            if match:
                return proc, match
            time.sleep(0.02)
        stop(proc)
        return proc, None

    def image(self, name, version, size=20000):
        out = self.path(name)
        subprocess.run([os.path.join(self.bin, 'mkfwimage'), '--type', '2', '--name', 'Cluster NetAppl',
                        '--version', version, '--date', '6/12/26', '--size', str(size), '-o', out],
                       check=True, capture_output=True)
        return out

    def station(self, name, devices, link_kbps=0, flash_kbps=0):
        return Station(self, name, devices, link_kbps, flash_kbps)

    def sshd(self):
        """An sshd on a free loopback port that lets this user in with a throwaway key; returns
        the host variables that make Ansible use it."""
        ssh = self.path('ssh')
        os.mkdir(ssh, 0o700)
        for key in ('host', 'client'):
            subprocess.run(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-C', key, '-f', os.path.join(ssh, key)],
                           check=True, capture_output=True)
        shutil.copy(os.path.join(ssh, 'client.pub'), os.path.join(ssh, 'authorized_keys'))
        if os.geteuid() == 0:
            # sshd run by root insists on its privilege-separation folder, which the
            # service would create at boot; an empty folder, left in place.
            os.makedirs('/run/sshd', mode=0o755, exist_ok=True)
        sshd = shutil.which('sshd') or '/usr/sbin/sshd'
        for _ in range(5):  # the free port may be taken before sshd binds it
            port = free_port()
            config = self.write('ssh/sshd_config', '\n'.join([
                'Port %d' % port, 'ListenAddress 127.0.0.1', 'HostKey %s/host' % ssh,
                'AuthorizedKeysFile %s/authorized_keys' % ssh, 'PidFile none', 'StrictModes no', 'UsePAM no',
                'PasswordAuthentication no', 'KbdInteractiveAuthentication no', 'PermitRootLogin prohibit-password',
                'Subsystem sftp internal-sftp', '']))
            _, ready = self.spawn([sshd, '-D', '-e', '-f', config], 'ssh/sshd.log',
                                  r'Server listening on 127\.0\.0\.1 port %d\.' % port)
            if ready:
                break
        else:
            raise RuntimeError('sshd did not start:\n' + read(self.path('ssh/sshd.log')))
        host_key = read(os.path.join(ssh, 'host.pub')).split()
        known = self.write('ssh/known_hosts', '[127.0.0.1]:%d %s %s\n' % (port, host_key[0], host_key[1]))
        return {'ansible_connection': 'ssh', 'ansible_host': '127.0.0.1', 'ansible_port': port,
                'ansible_user': getpass.getuser(), 'ansible_ssh_private_key_file': os.path.join(ssh, 'client'),
                'ansible_ssh_common_args': '-F /dev/null -o UserKnownHostsFile=%s -o IdentitiesOnly=yes '
                                           '-o BatchMode=yes' % known}

    def inventory(self, name, hosts, **group_vars):
        """An inventory of the group `stations`; hosts maps a name to its variables."""
        return self.write(name, json.dumps({'stations': {'hosts': hosts, 'vars': group_vars}}, indent=1))

    def playbook(self, inventory, *args, timeout=600):
        """Runs ansible-playbook; returns (seconds, Run)."""
        self._runs = getattr(self, '_runs', 0) + 1
        report = self.path('report-%d.json' % self._runs)
        start = time.monotonic()
        done = subprocess.run(['ansible-playbook', '-i', inventory] + list(args), cwd=self.dir,
                              env=dict(self.env, ZU_ANSIBLE_REPORT=report), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)
        return time.monotonic() - start, Run(done, report)


class Station:
    """stationsim serving `devices`, its versions in a state file, its requests logged."""

    def __init__(self, fleet, name, devices, link_kbps, flash_kbps):
        self.fleet, self.name = fleet, name
        self.state = fleet.write(name + '.state', json.dumps(
            {'versions': dict((str(d['id']), d['version']) for d in devices)}))
        self.log = fleet.path(name + '.log')
        self.start(devices, link_kbps, flash_kbps)

    def start(self, devices, link_kbps=0, flash_kbps=0):
        """(Re)starts the simulator on a new port with these devices; the state file stays."""
        if getattr(self, 'proc', None):
            stop(self.proc)
        station = self.fleet.write(self.name + '.json', json.dumps(
            {'link_kbps': link_kbps, 'flash_kbps': flash_kbps, 'devices': devices}))
        self.proc, ready = self.fleet.spawn(
            [os.path.join(self.fleet.bin, 'stationsim'), '--station', station, '--port', '0', '--state', self.state,
             '--log'], self.name + '.log', r'stationsim listening on 127\.0\.0\.1:(\d+)\n')
        if not ready:
            raise RuntimeError('stationsim %s did not start:\n%s' % (self.name, read(self.log)))
        self.address = '127.0.0.1:' + ready.group(1)

    def requests(self):
        """The simulator's request log so far, a line each."""
        return [line for line in read(self.log).splitlines() if line.startswith('stationsim: ')]

    def versions(self):
        return json.loads(read(self.state))['versions']


class Run:
    """One ansible-playbook run: its output, and the results and stats its report holds."""

    def __init__(self, done, report):
        self.rc, self.output = done.returncode, done.stdout + done.stderr
        try:
            with open(report) as f:
                self.report = json.load(f)
        except (OSError, ValueError):
            raise AssertionError('ansible-playbook left no report (exit %d):\n%s' % (self.rc, self.output[-4000:]))
        self.stats = self.report['stats']

    def results(self, task):
        """{host: result} of the task named `task`, with their start and end times."""
        return dict((r['host'], dict(r['result'], _start=r['start'], _end=r['end']))
                    for r in self.report['results'] if r['task'] == task)

    def __str__(self):
        return 'exit %d, stats %s\n%s' % (self.rc, json.dumps(self.stats), self.output[-4000:])


def read(path):
    try:
        with open(path, errors='replace') as f:
            return f.read()
    except FileNotFoundError:
        return ''


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def stop(proc):
    """SIGTERM to the process and everything it started, SIGKILL after 5 s."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        except ProcessLookupError:
            pass

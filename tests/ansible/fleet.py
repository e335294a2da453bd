"""The collection driven from outside, for the fleet test and benchmark: stationsim stations
with state files and request logs, images from mkfwimage, an sshd of our own on loopback, and
ansible-playbook on a private configuration, its results read from its junit report."""
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
import xml.etree.ElementTree

SSHD = shutil.which('sshd') or '/usr/sbin/sshd'
MISSING = [t for t in ('ansible-playbook', 'ssh', 'ssh-keygen', SSHD) if not shutil.which(t)]


def cluster(device_id, version=(2, 3), **faults):
    """A cluster that "Upd. All" takes, with stationsim faults (flash_fail=True, ...)."""
    return {'id': device_id, 'name': 'Cluster %d' % device_id, 'family': 1, 'kind': 1, 'sub': device_id % 256,
            'letter': 'A', 'version': list(version), 'faults': faults}


def read(path):
    try:
        with open(path, errors='replace') as f:
            return f.read()
    except FileNotFoundError:
        return ''


class Fleet:
    """A temporary folder; every process started here logs into it and is stopped with it."""

    def __init__(self, bin_dir, source_dir, prefix='zu-fleet-'):
        self.bin, self.dir, self._procs, self._runs = bin_dir, tempfile.mkdtemp(prefix=prefix), [], 0
        collections = self.path('collections')
        os.makedirs(self.path('collections', 'ansible_collections', 'quorvane'))
        os.symlink(os.path.join(source_dir, 'ansible'), self.path('collections/ansible_collections/quorvane/zentavo'))
        # Nothing of the machine's or the user's Ansible set-up applies.
        self.env = dict(os.environ, ANSIBLE_CONFIG=self.write('ansible.cfg', '[defaults]\n'),
                        ANSIBLE_HOME=self.path('home'), ANSIBLE_COLLECTIONS_PATH=collections,
                        ANSIBLE_LOCAL_TEMP=self.path('tmp'), ANSIBLE_REMOTE_TEMP=self.path('tmp'),
                        ANSIBLE_CALLBACKS_ENABLED='junit', JUNIT_HIDE_TASK_ARGUMENTS='true',
                        ANSIBLE_PIPELINING='1', ANSIBLE_NOCOLOR='1',
                        ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_PYTHON_INTERPRETER='/usr/bin/python3',
                        ANSIBLE_SSH_ARGS='-o ControlMaster=no -o ControlPath=none', PYTHONDONTWRITEBYTECODE='1')

    def __enter__(self):
        return self

    def __exit__(self, *_):
        for proc in self._procs:
            stop(proc)
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, text):
        with open(self.path(name), 'w') as f:
            f.write(text)
        return self.path(name)

    def spawn(self, args, log, ready):
        """Starts `args` logging to `log` and waits (20 s at most) for `ready` there; its match or None."""
        with open(self.path(log), 'ab') as out:
            seen = out.tell()  # a restart appends to the earlier run's log
            proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)
        self._procs.append(proc)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and proc.poll() is None:
            match = re.search(ready, read(self.path(log))[seen:])
            if match:
                return match
            time.sleep(0.02)
        stop(proc)
        return None

    def image(self, name, version, size=20000):
        subprocess.run([os.path.join(self.bin, 'mkfwimage'), '--type', '2', '--name', 'Cluster NetAppl', '--version',
                        version, '--date', '6/12/26', '--size', str(size), '-o', self.path(name)], check=True)
        return self.path(name)

    def sshd(self):
        """An sshd on a free loopback port letting this user in with a throwaway key; the host
        variables that make Ansible use it."""
        ssh = self.path('ssh')
        os.mkdir(ssh, 0o700)
        for key in ('host', 'client'):
            subprocess.run(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-f', os.path.join(ssh, key)], check=True)
        shutil.copy(os.path.join(ssh, 'client.pub'), os.path.join(ssh, 'authorized_keys'))
        if os.geteuid() == 0:  # root's sshd needs the empty folder its service makes at boot
            os.makedirs('/run/sshd', mode=0o755, exist_ok=True)
        for _ in range(5):  # the free port may be taken before sshd binds it
            with socket.socket() as s:
                s.bind(('127.0.0.1', 0))
                port = s.getsockname()[1]
            config = self.write('ssh/sshd_config', '\n'.join([
                'Port %d' % port, 'ListenAddress 127.0.0.1', 'HostKey %s/host' % ssh, 'PidFile none',
                'AuthorizedKeysFile %s/authorized_keys' % ssh, 'StrictModes no', 'UsePAM no',
                'PasswordAuthentication no', 'KbdInteractiveAuthentication no', 'PermitRootLogin prohibit-password']))
            if self.spawn([SSHD, '-D', '-e', '-f', config], 'ssh/sshd.log', 'listening on 127.0.0.1 port %d' % port):
                break
        else:
            raise RuntimeError('sshd did not start:\n' + read(self.path('ssh/sshd.log')))
        known = self.write('ssh/known_hosts', '[127.0.0.1]:%d %s\n' % (port, read(ssh + '/host.pub').rsplit(' ', 1)[0]))
        return {'ansible_connection': 'ssh', 'ansible_host': '127.0.0.1', 'ansible_port': port,
                'ansible_user': getpass.getuser(), 'ansible_ssh_private_key_file': os.path.join(ssh, 'client'),
                'ansible_ssh_common_args': '-F /dev/null -o UserKnownHostsFile=%s -o IdentitiesOnly=yes '
                                           '-o BatchMode=yes' % known}

    def inventory(self, name, hosts, **group_vars):
        """The group `stations` of `hosts` (name: variables), JSON being YAML."""
        return self.write(name, json.dumps({'stations': {'hosts': hosts, 'vars': group_vars}}))

    def playbook(self, inventory, *args):
        """Runs ansible-playbook; (seconds, Run)."""
        self._runs += 1
        report, start = self.path('junit-%d' % self._runs), time.monotonic()
        done = subprocess.run(['ansible-playbook', '-i', inventory] + list(args), cwd=self.dir, timeout=600,
                              env=dict(self.env, JUNIT_OUTPUT_DIR=report), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return time.monotonic() - start, Run(done, report)


class Station:
    """stationsim serving `devices`, its versions in a state file, its requests logged."""

    def __init__(self, fleet, name, devices, link_kbps=0, flash_kbps=0):
        self.fleet, self.name, self.log = fleet, name, fleet.path(name + '.log')
        versions = {str(d['id']): d['version'] for d in devices}
        self.state = fleet.write(name + '.state', json.dumps({'versions': versions}))
        self.start(devices, link_kbps, flash_kbps)

    def start(self, devices, link_kbps=0, flash_kbps=0):
        """Starts the simulator (again) on a new port; the state file stays."""
        if hasattr(self, 'proc'):
            stop(self.proc)
        station = self.fleet.write(self.name + '.json', json.dumps(
            {'link_kbps': link_kbps, 'flash_kbps': flash_kbps, 'devices': devices}))
        ready = self.fleet.spawn([os.path.join(self.fleet.bin, 'stationsim'), '--station', station, '--port', '0',
                                  '--state', self.state, '--log'], self.name + '.log',
                                 r'stationsim listening on (127\.0\.0\.1:\d+)\n')
        if not ready:
            raise RuntimeError('stationsim %s did not start:\n%s' % (self.name, read(self.log)))
        self.proc, self.address = self.fleet._procs[-1], ready.group(1)

    def requests(self):
        return [line for line in read(self.log).splitlines() if line.startswith('stationsim: ')]


class Run:
    """One ansible-playbook run: exit status, output, and each task's results as its junit
    report holds them: (task, host, seconds since the task started, result)."""

    def __init__(self, done, report):
        self.rc, self.output, self.cases = done.returncode, done.stdout, []
        for name in sorted(os.listdir(report)) if os.path.isdir(report) else []:
            for case in xml.etree.ElementTree.parse(os.path.join(report, name)).iter('testcase'):
                host, task = re.match(r'\[(.*?)\] .*: (.*)', case.get('name')).groups()
                for out, flags in ((case.find('system-out'), {}), (case.find('failure'), {'failed': True})):
                    if out is not None:  # neither: skipped
                        self.cases.append((task, host, float(case.get('time')), dict(json.loads(out.text), **flags)))

    def results(self, task):
        """{host: result} of the task named `task`."""
        return {host: dict(result, _seconds=seconds) for t, host, seconds, result in self.cases if t == task}

    def __str__(self):
        return 'exit %d\n%s' % (self.rc, self.output[-4000:])


def stop(proc):
    """SIGTERM to the process and everything it started, SIGKILL after 5 s."""
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()

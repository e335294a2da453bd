# -*- coding: utf-8 -*-
# Runs zentavo-flash for the modules of this collection and reads its JSON lines.
# zentavo-flash is the one engine: nothing here speaks to a device.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

# The options every module of the collection takes, as AnsibleModule's argument_spec.
COMMON_ARGS = dict(
    station=dict(type='str'),
    timeout_ms=dict(type='int'),
    executable=dict(type='str', default='zentavo-flash'),
)


def run_flash(module, command, options, operands=()):
    """Runs `zentavo-flash COMMAND OPTIONS --json [--station S] -- OPERANDS`.

    Returns (rc, events, stderr_line): events are the JSON values of stdout, one a line;
    stderr_line is what zentavo-flash said on stderr, its lines joined into one, without the
    usage text that follows a usage error.
    Fails the module when the program cannot be found or prints something not JSON.
    """
    p = module.params
    executable = p['executable']
    path = executable if '/' in executable else module.get_bin_path(executable)
    if not path:
        module.fail_json(msg='%s not found on the PATH of %s; install zentavo-update there or set executable'
                         % (executable, _host()))
    if p['timeout_ms'] is not None and p['timeout_ms'] <= 0:
        module.fail_json(msg='timeout_ms must be a positive number of milliseconds, not %d' % p['timeout_ms'])

    cmd = [path, command] + list(options) + ['--json']
    if p['station'] is not None:
        cmd += ['--station', p['station']]
    # "--" ends the options: an image named "-x.bin" is a file, not an option.
    cmd += ['--'] + list(operands)
    env = {}
    if p['timeout_ms'] is not None:
        env['TESTDLL_TIMEOUT_MS'] = str(p['timeout_ms'])
    rc, out, err = module.run_command(cmd, environ_update=env)

    events = []
    for line in out.splitlines():
        if not line.strip():
            continue
        try:
            events.append(json.loads(line))
        except ValueError:
            module.fail_json(msg='%s printed a line that is not JSON: %s' % (executable, line[:200]),
                             rc=rc, cmd=cmd, stdout=out, stderr=err)
    # A usage error comes with the usage text: the lines before it say what was wrong.
    said = []
    for line in err.splitlines():
        if line.startswith('Usage:'):
            break
        if line.strip():
            said.append(line.strip())
    return rc, events, '; '.join(said)


def failure_text(executable, rc, said):
    """The message for a run that ended without a result to report on."""
    if said:
        return said
    if rc < 0:
        return '%s was ended by signal %d' % (executable, -rc)
    return '%s ended with exit status %d and said nothing' % (executable, rc)


def _host():
    import socket
    return socket.gethostname()

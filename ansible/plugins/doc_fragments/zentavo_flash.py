# -*- coding: utf-8 -*-
# The options every module of the collection shares: where the station is, how long a
# device may take to answer, and which zentavo-flash to run.
from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    DOCUMENTATION = r'''
options:
  station:
    description:
      - The station's address as C(HOST:PORT), passed to C(zentavo-flash --station).
      - HOST is an IPv4 address or a name that resolves to one.
      - Without it C(zentavo-flash) takes C(TESTDLL_NETWORK) from the environment, else its default
        C(127.0.0.1:47300).
    type: str
  timeout_ms:
    description:
      - How long each request waits for a device's answer, in milliseconds (C(TESTDLL_TIMEOUT_MS)).
      - Without it the library's default applies.
    type: int
  executable:
    description:
      - The C(zentavo-flash) program on the station PC, a name looked up on the PATH or a path.
    type: str
    default: zentavo-flash
requirements:
  - C(zentavo-flash) of zentavo-update on the station PC (the host the task runs on).
notes:
  - The module runs C(zentavo-flash) with C(--json) and reports what it printed; it speaks to no
    device itself. Serial lines are configured as for C(zentavo-flash), through C(TESTDLL_COM1)
    and C(TESTDLL_COM2) in the task's C(environment).
'''

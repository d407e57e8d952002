# -*- coding: utf-8 -*-
"""What the enclosure modules share: running seslist and fwpush, optionally through a command
prefix (``sesim run DIR... --`` for a rehearsal), and finding one enclosure in the listing."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

COMMON_ARGUMENTS = dict(
    wrapper=dict(type="list", elements="str", default=[]),
)


def command(module, program, *args):
    return list(module.params["wrapper"]) + [program] + list(args)


def messages(text):
    """A program's output as one line: its lines joined, blank ones left out."""
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


def list_enclosures(module, include_all=False):
    """seslist's devices, or a failed module with seslist's own message."""
    argv = command(module, "seslist", "--json", *(["--all"] if include_all else []))
    rc, out, err = module.run_command(argv)
    if rc != 0:
        module.fail_json(msg="seslist failed: %s" % (messages(err) or "exit status %d" % rc), rc=rc, stdout=out,
                         stderr=err, cmd=argv)
    try:
        return json.loads(out)["devices"]
    except (ValueError, KeyError, TypeError) as error:
        module.fail_json(msg="seslist printed no listing: %s" % error, stdout=out, stderr=err, cmd=argv)
    return None


def find_enclosure(devices, path=None, identifier=None):
    """The row of the enclosure named by path or identifier (its first path), or None."""
    for device in devices:
        if not device["enclosure"] and not device["error"]:
            continue
        if path is not None and device["path"] == path:
            return device
        if identifier is not None and device["identifier"] == identifier and not device["same_enclosure_as"]:
            return device
    return None

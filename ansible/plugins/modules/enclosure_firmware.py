#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: enclosure_firmware
short_description: Stage or activate firmware on an SES enclosure
description:
  - Brings one enclosure, picked by its sg node or its logical unit identifier, to a firmware
    revision with C(fwpush).
  - With C(state=staged) the image is downloaded and stored as deferred microcode
    (C(fwpush -d)); the enclosure goes on running its firmware until it is activated.
  - With C(state=active) the enclosure must end up running the revision. Given an C(image), it is
    downloaded and activated in one run (C(fwpush -a)); without one, the microcode staged before
    is activated (C(fwpush -A)). Afterwards the revision the enclosure reports is checked against
    C(revision).
  - Idempotent, as an enclosure already running C(revision) is left alone, whatever C(state).
    Otherwise C(state=staged) downloads again, as an enclosure does not say which revision its
    deferred microcode has once the completion of its download has been read.
  - The result carries the revisions before and after and the programs' messages; a failure of
    C(fwpush) fails the module with C(fwpush)'s own message.
version_added: 1.0.0
author: The ses-maint developers
options:
  path:
    description:
      - The enclosure's sg node, as C(seslist) lists it (C(/dev/sgN)).
      - One of C(path) and C(identifier) is required.
    type: str
  identifier:
    description:
      - The enclosure's logical unit identifier, as C(seslist) lists it (C(naa.5000...)); stays
        the same when sg nodes are numbered anew. The first path to it is used.
    type: str
  revision:
    description:
      - The firmware revision the image holds, as the enclosure reports it in INQUIRY.
    type: str
    required: true
  image:
    description:
      - The firmware image file on the host. Required with C(state=staged).
    type: path
  state:
    description:
      - C(staged) stores the image as deferred microcode; C(active) makes the enclosure run it.
    type: str
    choices: [staged, active]
    default: active
  wrapper:
    description:
      - A command prefix for C(seslist) and C(fwpush), for example C([sesim, run, DIR1, DIR2, --])
        to rehearse on simulated enclosures.
    type: list
    elements: str
    default: []
requirements:
  - seslist and fwpush (package ses-maint) on the host, run as root
attributes:
  check_mode:
    support: full
    description: In check mode the enclosure is only listed, and the module says whether it would change.
notes:
  - Every run of C(fwpush) is recorded in the host's system log (journalctl -t fwpush).
seealso:
  - module: ses.maint.enclosure_info
"""

EXAMPLES = r"""
- name: Stage firmware 0200 while the enclosure is in service
  ses.maint.enclosure_firmware:
    identifier: naa.5000c500a1b2c3d4
    image: /srv/firmware/enclosure-0200.bin
    revision: "0200"
    state: staged
  become: true

- name: Activate it in the maintenance window
  ses.maint.enclosure_firmware:
    identifier: naa.5000c500a1b2c3d4
    revision: "0200"
    state: active
  become: true

- name: Download and activate in one run
  ses.maint.enclosure_firmware:
    path: /dev/sg3
    image: /srv/firmware/enclosure-0200.bin
    revision: "0200"
"""

RETURN = r"""
enclosure:
  description: The enclosure worked on.
  returned: when it was found
  type: dict
  contains:
    path:
      description: Its sg node.
      type: str
    identifier:
      description: Its logical unit identifier.
      type: str
    serial:
      description: Its unit serial number.
      type: str
  sample: {"path": "/dev/sg3", "identifier": "naa.5000c500a1b2c3d4", "serial": "SN0042"}
revision:
  description: The revision asked for.
  returned: always
  type: str
revision_before:
  description: The revision the enclosure ran before.
  returned: when the enclosure was found
  type: str
  sample: "0100"
revision_after:
  description: The revision it runs afterwards.
  returned: when the enclosure was found
  type: str
  sample: "0200"
outcome:
  description:
    - C(unchanged) (already running the revision), C(staged), C(activated), C(would stage) or
      C(would activate) (check mode), or C(failed).
  returned: always
  type: str
stdout:
  description: What fwpush printed on standard output.
  returned: when fwpush ran
  type: str
stderr:
  description: What fwpush printed on standard error.
  returned: when fwpush ran
  type: str
cmd:
  description: The fwpush command line.
  returned: when fwpush ran
  type: list
  elements: str
"""

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.ses.maint.plugins.module_utils.ses_maint import (
    COMMON_ARGUMENTS,
    command,
    find_enclosure,
    list_enclosures,
    messages,
)


def fail(module, result, msg, **extra):
    result.update(extra)
    result.update(outcome="failed", msg=msg)
    module.fail_json(**result)


def locate(module, result):
    """The enclosure's row; fails the module when it is not there or does not answer."""
    path, identifier = module.params["path"], module.params["identifier"]
    name = path or identifier
    result.setdefault("enclosure", dict(path=path, identifier=identifier, serial=None))
    devices = list_enclosures(module)
    device = find_enclosure(devices, path=path, identifier=identifier)
    if device is None:
        # An enclosure that went away may be one of the nodes that no longer answer.
        silent = ["%s: %s" % (d["path"], d["error"]) for d in devices if d["error"]]
        fail(module, result, "no enclosure %s on this host%s" % (name, " (%s)" % "; ".join(silent) if silent else ""))
    if device["error"]:
        fail(module, result, "enclosure %s: %s" % (name, device["error"]))
    return device


def main():
    arguments = dict(
        COMMON_ARGUMENTS,
        path=dict(type="str"),
        identifier=dict(type="str"),
        revision=dict(type="str", required=True),
        image=dict(type="path"),
        state=dict(type="str", choices=["staged", "active"], default="active"),
    )
    module = AnsibleModule(
        argument_spec=arguments,
        supports_check_mode=True,
        mutually_exclusive=[("path", "identifier")],
        required_one_of=[("path", "identifier")],
        required_if=[("state", "staged", ["image"])],
    )
    state, revision, image = module.params["state"], module.params["revision"], module.params["image"]
    result = dict(changed=False, revision=revision)

    device = locate(module, result)
    result.update(enclosure=dict(path=device["path"], identifier=device["identifier"], serial=device["serial"]),
                  revision_before=device["revision"], revision_after=device["revision"])
    if device["revision"] == revision:
        module.exit_json(outcome="unchanged", msg="already running revision %s" % revision, **result)
    result["changed"] = True
    if module.check_mode:
        verb = "stage" if state == "staged" else "activate"
        module.exit_json(outcome="would " + verb, msg="would %s revision %s" % (verb, revision), **result)

    if state == "staged":
        options = ["-d", device["path"], image]
    else:
        options = ["-a", device["path"], image] if image else ["-A", device["path"]]
    argv = command(module, "fwpush", *options)
    rc, out, err = module.run_command(argv)
    result.update(stdout=out, stderr=err, cmd=argv)
    if rc != 0:
        fail(module, result, messages(err) or "fwpush exited with status %d" % rc, rc=rc)
    if state == "staged":
        module.exit_json(outcome="staged", msg="revision %s staged" % revision, **result)

    after = locate(module, result)
    result["revision_after"] = after["revision"]
    if after["revision"] != revision:
        fail(module, result, "the enclosure reports revision %s after activation, not %s" % (after["revision"],
                                                                                               revision))
    module.exit_json(outcome="activated", msg="revision %s active" % revision, **result)


if __name__ == "__main__":
    main()

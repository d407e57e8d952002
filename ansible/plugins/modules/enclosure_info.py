#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: enclosure_info
short_description: List the SES enclosures of a host
description:
  - Runs C(seslist --json) on the host and returns its listing, one entry per SCSI generic node
    that is an SES enclosure, as the fact C(ses_enclosures).
  - Only reads, as C(seslist) sends INQUIRY and RECEIVE DIAGNOSTIC RESULTS, never a command that
    changes an enclosure. Do not run it against an enclosure while a firmware download to it
    runs (see seslist(1)).
version_added: 1.0.0
author: The ses-maint developers
options:
  all:
    description:
      - List every SCSI generic node, enclosures or not (C(seslist --all)).
    type: bool
    default: false
  wrapper:
    description:
      - A command prefix for C(seslist), for example C([sesim, run, DIR1, DIR2, --]) to list
        simulated enclosures in a rehearsal.
    type: list
    elements: str
    default: []
requirements:
  - seslist (package ses-maint) on the host, run as root
attributes:
  check_mode:
    support: full
    description: The module changes nothing and runs in check mode too.
notes:
  - The fields are those of the JSON document of seslist(1); its field names are stable.
"""

EXAMPLES = r"""
- name: List the enclosures
  ses.maint.enclosure_info:
  become: true

- name: Show each enclosure's revision
  ansible.builtin.debug:
    msg: "{{ item.path }} {{ item.identifier }} {{ item.revision }}"
  loop: "{{ ses_enclosures }}"

- name: List simulated enclosures
  ses.maint.enclosure_info:
    wrapper: [sesim, run, /tmp/enc0, /tmp/enc1, --]
"""

RETURN = r"""
ansible_facts:
  description: The listing as facts.
  returned: always
  type: dict
  contains:
    ses_enclosures:
      description:
        - One entry per device, in the order of the sg node numbers, with the fields of
          C(seslist --json) (see seslist(1)); a field that is not known is null.
      type: list
      elements: dict
      contains:
        path:
          description: The sg node, C(/dev/sgN).
          type: str
        enclosure:
          description: Whether the device is an SES enclosure.
          type: bool
        peripheral_device_type:
          description: The peripheral device type from INQUIRY.
          type: int
        vendor:
          description: Vendor identification.
          type: str
        product:
          description: Product identification.
          type: str
        revision:
          description: The revision of the firmware the enclosure runs.
          type: str
        serial:
          description: Unit serial number.
          type: str
        identifier:
          description: The logical unit's name, for example C(naa.5000...).
          type: str
        download_status:
          description: The primary subenclosure's download status in words.
          type: str
        download_status_code:
          description: The download status code.
          type: int
        max_image_size:
          description: The largest image in bytes that the enclosure takes.
          type: int
        same_enclosure_as:
          description: For a second path to an enclosure, the path of the first.
          type: str
        error:
          description: Why the entry is incomplete.
          type: str
enclosures:
  description: The same list as C(ansible_facts.ses_enclosures).
  returned: always
  type: list
  elements: dict
"""

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.ses.maint.plugins.module_utils.ses_maint import COMMON_ARGUMENTS, list_enclosures


def main():
    arguments = dict(COMMON_ARGUMENTS, all=dict(type="bool", default=False))
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True)
    devices = list_enclosures(module, include_all=module.params["all"])
    module.exit_json(changed=False, enclosures=devices, ansible_facts=dict(ses_enclosures=devices))


if __name__ == "__main__":
    main()

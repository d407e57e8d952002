# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
name: rollout_summary
type: aggregate
short_description: A summary of every enclosure at the end of a firmware rollout
description:
  - Collects what the C(ses.maint.enclosure_info) and C(ses.maint.enclosure_firmware) tasks
    reported and prints, when the playbook ends, one line per enclosure with its host, sg node,
    identifier, the revision before and after, and the outcome; then one line per host that
    failed outside an enclosure task.
  - It prints even when the rollout stopped early (a batch that exceeded C(max_fail_percentage)
    ends the playbook), so every enclosure's state is accounted for.
  - An enclosure staged but not activated is shown as C(staged, not activated); one that no task
    changed as C(unchanged); a node that did not answer C(seslist) as C(not answering) with the
    reason.
version_added: 1.0.0
author: The ses-maint developers
requirements:
  - enable it in ansible.cfg (C(callbacks_enabled = ses.maint.rollout_summary))
options:
  summary_file:
    description: Also write the summary to this file, as JSON.
    type: path
    env:
      - name: ROLLOUT_SUMMARY_FILE
    ini:
      - section: rollout_summary
        key: summary_file
"""

import json

from ansible.plugins.callback import CallbackBase

INFO = ("enclosure_info", "ses.maint.enclosure_info")
FIRMWARE = ("enclosure_firmware", "ses.maint.enclosure_firmware")
COLUMNS = ("host", "path", "identifier", "before", "after", "outcome")


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "ses.maint.rollout_summary"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.enclosures = {}  # (host, identifier) -> row
        self.host_failures = {}
        self.target = None

    def row(self, host, device):
        key = (host, device.get("identifier") or device.get("path"))
        if key not in self.enclosures:
            self.enclosures[key] = dict(host=host, path=device.get("path"), identifier=device.get("identifier"),
                                        before=None, after=None, outcome=None)
        return self.enclosures[key]

    def listed(self, host, devices):
        for device in devices:
            if device.get("error") and not device.get("identifier"):
                # A node that does not answer: the enclosure seen there before, or a row of its own.
                known = [r for r in self.enclosures.values() if r["host"] == host and r["path"] == device["path"]]
                row = known[0] if known else self.row(host, device)
                row["outcome"] = row["outcome"] or "not answering: %s" % device["error"]
                continue
            if not device.get("enclosure") or device.get("same_enclosure_as"):
                continue
            row = self.row(host, device)
            row["before"] = row["before"] or device.get("revision")
            row["after"] = device.get("revision")

    def firmware(self, host, result):
        self.target = result.get("revision") or self.target
        device = result.get("enclosure")
        if device is None:
            self.host_failures[host] = result.get("msg")
            return
        row = self.row(host, device)
        row["before"] = row["before"] or result.get("revision_before")
        row["after"] = result.get("revision_after") or row["after"]
        outcome = result.get("outcome")
        if outcome == "failed":
            row["outcome"] = "failed: %s" % result.get("msg")
        elif not (outcome == "unchanged" and row["outcome"]):
            row["outcome"] = outcome

    def record(self, host, action, result, failed):
        if "results" in result:
            return  # a loop's total: its items came one by one
        if action in INFO and not failed:
            self.listed(host, result.get("enclosures") or [])
        elif action in FIRMWARE:
            self.firmware(host, result)
        elif failed:
            self.host_failures.setdefault(host, result.get("msg"))

    def result(self, result, failed=False):
        self.record(result._host.get_name(), result._task.action, result._result, failed)

    def v2_runner_on_ok(self, result):
        self.result(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self.result(result, failed=True)

    def v2_runner_item_on_ok(self, result):
        self.result(result)

    def v2_runner_item_on_failed(self, result):
        self.result(result, failed=True)

    def rows(self):
        rows = []
        for row in sorted(self.enclosures.values(), key=lambda r: (r["host"], r["path"] or "")):
            row = dict(row)
            outcome = row["outcome"]
            if outcome is None:
                row["outcome"] = "unchanged"
            elif outcome in ("staged", "would stage"):
                row["outcome"] = "%s, not activated" % outcome
            elif outcome == "activated" and self.target is not None and row["after"] != self.target:
                row["outcome"] = "failed: revision %s after the rollout, not %s" % (row["after"], self.target)
            rows.append(row)
        return rows

    def v2_playbook_on_stats(self, stats):
        rows = self.rows()
        if not rows and not self.host_failures:
            return
        cells = [[str(row[c] if row[c] is not None else "-") for c in COLUMNS] for row in rows]
        widths = [max([len(c.upper())] + [len(line[i]) for line in cells]) for i, c in enumerate(COLUMNS)]
        self._display.banner("ROLLOUT SUMMARY (target revision %s)" % (self.target or "-"))
        for line in [[c.upper() for c in COLUMNS]] + cells:
            self._display.display("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(line)).rstrip())
        for host in sorted(self.host_failures):
            self._display.display("%s: failed: %s" % (host, self.host_failures[host]))
        counts = {}
        for row in rows:
            word = row["outcome"].split(":")[0]
            counts[word] = counts.get(word, 0) + 1
        self._display.display("%d enclosures: %s" % (len(rows), ", ".join("%d %s" % (counts[w], w) for w in
                                                                          sorted(counts))))
        path = self.get_option("summary_file")
        if path:
            with open(path, "w") as out:
                json.dump(dict(target=self.target, enclosures=rows, host_failures=self.host_failures), out, indent=2)

#!/usr/bin/env python3
"""The fleet lane: the collection's rollout playbook, with the example rehearsal inventory, against
12 hosts of 4 simulated enclosures each, as one scenario:

  1. with two enclosures that refuse the image (too large for them) in the second batch, and in
     the first a host given an image of another revision than the one announced (an inventory
     of faults added to the example's) one of whose enclosures vanishes during the download:
     those fail alone, the second batch stops the rollout, every other enclosure keeps what it
     reached;
  2. --check on that fleet changes nothing;
  3. with the faults gone, every enclosure ends on the target revision;
  4. a second run reports no change.
After runs 1 and 3 the summary and fwpush's audit records (read from a private /dev/log) must
agree with `sesim show` for every enclosure.

Usage: fleet_test.py SOURCE_DIR BIN_DIR"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE, BIN = (os.path.abspath(a) for a in sys.argv[1:3])
COLLECTION = os.path.join(SOURCE, "ansible")
PRIVATE_LOG = os.path.join(SOURCE, "tests", "e2e", "support", "private_log.py")
HOSTS = ["host%02d" % n for n in range(1, 13)]
ENCLOSURES = 4
TARGET = "0200"
REFUSING = [("host05", 1), ("host06", 2)]  # second batch: 2 of 4 hosts fail, above 25 %
MISLABELLED = "host02"  # first batch: 1 of 4 hosts fails, within 25 %
VANISHING = (MISLABELLED, 3)
FAILURES = []


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def run(argv, env, **kwargs):
    return subprocess.run(argv, env=env, capture_output=True, text=True, check=False, **kwargs)


def enclosure_dir(root, host, k):
    return os.path.join(root, host, "enc%d" % k)


def show(root, host, k):
    out = run([os.path.join(BIN, "sesim"), "show", enclosure_dir(root, host, k)], os.environ).stdout
    return dict(line.split(": ", 1) for line in out.splitlines())


def fleet_state(root):
    """What a rollout may change: revision and images, per enclosure."""
    return {(h, k): {key: value for key, value in show(root, h, k).items()
                     if key in ("revision", "active image", "deferred image")}
            for h in HOSTS for k in range(ENCLOSURES)}


def image_sha(line):
    return line.split("sha256 ")[1] if "sha256 " in line else None


class Fleet:
    def __init__(self, scratch):
        self.scratch = scratch
        self.root = os.path.join(scratch, "rehearsal")
        self.audit = os.path.join(scratch, "audit.log")
        self.env = dict(os.environ, PATH=BIN + os.pathsep + os.environ["PATH"],
                        ANSIBLE_COLLECTIONS_PATH=os.path.join(scratch, "collections"),
                        ANSIBLE_CONFIG=os.path.join(COLLECTION, "examples", "ansible.cfg"),
                        ANSIBLE_FORKS=str(len(HOSTS)), ANSIBLE_NOCOLOR="1",
                        ANSIBLE_LOCAL_TEMP=os.path.join(scratch, "ansible-tmp"),
                        ANSIBLE_REMOTE_TEMP=os.path.join(scratch, "ansible-tmp"))
        self.runs = 0

    def prepare(self):
        built = run(["ansible-galaxy", "collection", "build", "--output-path", self.scratch, COLLECTION], self.env)
        assert built.returncode == 0, built.stdout + built.stderr
        tarball = os.path.join(self.scratch, "ses-maint-1.0.0.tar.gz")
        installed = run(["ansible-galaxy", "collection", "install", "--offline", "-p",
                         self.env["ANSIBLE_COLLECTIONS_PATH"], tarball], self.env)
        assert installed.returncode == 0, installed.stdout + installed.stderr
        setup = run([os.path.join(COLLECTION, "examples", "rehearsal-setup.sh"), self.root, str(len(HOSTS)),
                     str(ENCLOSURES)], self.env)
        assert setup.returncode == 0, setup.stdout + setup.stderr
        self.initial = show(self.root, HOSTS[0], 0)["active image"]
        mislabelled = os.path.join(self.scratch, "firmware-0201.img")
        self.sesim("mkimage", "--revision", "0201", "--size", "262144", mislabelled)
        self.faults = os.path.join(self.scratch, "faults.yml")
        with open(self.faults, "w") as out:
            json.dump({"enclosure_hosts": {"hosts": {MISLABELLED: {"firmware_image": mislabelled}}}}, out)

    def sesim(self, *args):
        result = run([os.path.join(BIN, "sesim"), *args], self.env)
        assert result.returncode == 0, result.stderr

    def reinit(self, host, k, *options):
        self.sesim("init", enclosure_dir(self.root, host, k), "--force", "--revision", "0100", "--serial",
                   "SIM-%s-%d" % (host, k), *options)

    def playbook(self, *extra, faults=False):
        """Runs the rollout; its exit status, output and summary."""
        self.runs += 1
        summary = os.path.join(self.scratch, "summary%d.json" % self.runs)
        env = dict(self.env, ROLLOUT_SUMMARY_FILE=summary)
        argv = ["ansible-playbook", "-i", os.path.join(COLLECTION, "examples", "rehearsal.yml"),
                *(["-i", self.faults] if faults else []), "-e", "rehearsal_root=" + self.root,
                "ses.maint.rolling_update", *extra]
        started = time.monotonic()
        result = run([sys.executable, PRIVATE_LOG, self.audit, *argv], env)
        print("run %d (%s): exit status %d in %.0f s" % (self.runs, " ".join(extra) or "rollout", result.returncode,
                                                          time.monotonic() - started), flush=True)
        assert result.returncode != 125, "no private /dev/log (the lane runs as root): " + result.stderr
        with open(os.path.join(self.scratch, "run%d.out" % self.runs), "w") as out:
            out.write(result.stdout + result.stderr)
        rows = {}
        if check(os.path.exists(summary), "run %d printed no summary" % self.runs):
            with open(summary) as f:
                document = json.load(f)
            rows = {(row["host"], int(row["path"][len("/dev/sg"):])): row for row in document["enclosures"]}
            check(len(rows) == len(HOSTS) * ENCLOSURES, "run %d: summary of %d enclosures" % (self.runs, len(rows)))
        return result, rows

    def audit_records(self):
        """The audit records, each with the process that wrote it, in order."""
        records = []
        with open(self.audit, encoding="ascii", errors="replace") as log:
            for line in log:
                m = re.search(r" fwpush\[(\d+)\]: (\w+) (start|end): (.*)$", line)
                if m:
                    fields = dict(re.findall(r'(\w+)=("(?:[^"\\]|\\.)*"|\S+)', m.group(4)))
                    records.append(dict({k: v.strip('"') for k, v in fields.items()}, pid=m.group(1),
                                        action=m.group(2), event=m.group(3)))
        return records


def agree_with_sesim(fleet, rows, state, label):
    """The summary's revision after, and the audit trail's last image and activation, per enclosure
    against what `sesim show` reports."""
    records = fleet.audit_records()
    by_pid = {}
    for record in records:
        by_pid.setdefault(record["pid"], []).append(record)
    history = {}
    for pid_records in by_pid.values():
        start = pid_records[0]
        end = pid_records[-1] if pid_records[-1]["event"] == "end" else {}
        history.setdefault(start.get("serial"), []).append((start, end))
    for (host, k), enclosure in state.items():
        name = "%s: %s/enc%d" % (label, host, k)
        row = rows.get((host, k), {})
        check(row.get("after") == enclosure["revision"], "%s: summary says revision %s after, sesim %s" %
              (name, row.get("after"), enclosure["revision"]))
        runs = history.get("SIM-%s-%d" % (host, k), [])
        downloads = [(s, e) for s, e in runs if s["action"] == "download" and e.get("outcome") == "success"]
        activations = [(s, e) for s, e in runs if s["action"] == "activation" and e.get("outcome") == "success"]
        deferred, active = enclosure["deferred image"], enclosure["active image"]
        if deferred != "none":
            check(downloads and downloads[-1][0]["sha256"] == image_sha(deferred),
                  "%s: staged, but no audited download of its image" % name)
        if active != fleet.initial:
            check(activations and downloads and downloads[-1][0]["sha256"] == image_sha(active),
                  "%s: runs %s, but the audit shows no download and activation of its image" %
                  (name, enclosure["revision"]))
        if active == fleet.initial and deferred == "none":
            check(not downloads, "%s: an audited download, but nothing staged or active" % name)


def main():
    scratch = tempfile.mkdtemp(prefix="ses-fleet.")
    fleet = Fleet(scratch)
    started = time.monotonic()
    try:
        fleet.prepare()
        for host, k in REFUSING:
            fleet.reinit(host, k, "--max-image-size", "65536")
        fleet.sesim("fault", enclosure_dir(fleet.root, *VANISHING), "gone@block=5")

        # 1. Faults: each fails alone; the second batch stops the rollout.
        result, rows = fleet.playbook(faults=True)
        state = fleet_state(fleet.root)
        check(result.returncode == 2, "run 1: exit status %d, expected 2" % result.returncode)
        for (host, k), enclosure in state.items():
            batch = HOSTS.index(host) // 4
            failing = (host, k) in REFUSING or (host, k) == VANISHING
            outcome = rows.get((host, k), {}).get("outcome", "")
            if host == MISLABELLED and not failing:
                check(enclosure["revision"] == "0201" and outcome == "failed: the enclosure reports revision 0201 "
                      "after activation, not 0200", "run 1: %s/enc%d runs %s, outcome %r" %
                      (host, k, enclosure["revision"], outcome))
            elif failing:
                check(enclosure["revision"] == "0100" and enclosure["deferred image"] == "none",
                      "run 1: %s/enc%d failed but changed: %s" % (host, k, enclosure))
                check(outcome.startswith("failed: "), "run 1: %s/enc%d outcome %r" % (host, k, outcome))
            elif batch < 2:
                check(enclosure["revision"] == TARGET, "run 1: %s/enc%d runs %s" % (host, k, enclosure["revision"]))
                check(outcome == "activated", "run 1: %s/enc%d outcome %r" % (host, k, outcome))
            else:
                check(enclosure["revision"] == "0100" and enclosure["deferred image"].startswith("revision %s " % TARGET),
                      "run 1: %s/enc%d after the stop: %s" % (host, k, enclosure))
                check(outcome == "staged, not activated", "run 1: %s/enc%d outcome %r" % (host, k, outcome))
        for host, k in REFUSING:
            check("Error in control page fields. Field offset 16" in rows.get((host, k), {}).get("outcome", ""),
                  "run 1: %s/enc%d fails without fwpush's message" % (host, k))
        check("NO MORE HOSTS LEFT" in result.stdout, "run 1: the rollout did not stop after the second batch")
        agree_with_sesim(fleet, rows, state, "run 1")

        # 2. Check mode changes nothing, and runs no fwpush.
        audit_before = len(fleet.audit_records())
        result, rows = fleet.playbook("--check", faults=True)
        check(fleet_state(fleet.root) == state, "run 2: --check changed an enclosure")
        check(len(fleet.audit_records()) == audit_before, "run 2: --check ran fwpush")
        check(rows.get(("host09", 0), {}).get("outcome") == "would activate",
              "run 2: host09/enc0 outcome %r" % rows.get(("host09", 0), {}).get("outcome"))

        # 3. The faults gone: every enclosure ends on the target revision.
        for host, k in REFUSING:
            fleet.reinit(host, k)
        fleet.sesim("fault", enclosure_dir(fleet.root, *VANISHING), "--clear")
        result, rows = fleet.playbook()
        state = fleet_state(fleet.root)
        check(result.returncode == 0, "run 3: exit status %d" % result.returncode)
        behind = sorted("%s/enc%d" % key for key, enclosure in state.items() if enclosure["revision"] != TARGET)
        check(not behind, "run 3: not on %s: %s" % (TARGET, ", ".join(behind)))
        check(all(e["deferred image"] == "none" for e in state.values()), "run 3: deferred images left")
        agree_with_sesim(fleet, rows, state, "run 3")

        # 4. Nothing left to do.
        audit_before = len(fleet.audit_records())
        result, rows = fleet.playbook()
        check(result.returncode == 0, "run 4: exit status %d" % result.returncode)
        recap = re.findall(r"^(host\d+)\s+: ok=\d+\s+changed=(\d+)", result.stdout, re.M)
        check(len(recap) == len(HOSTS) and all(changed == "0" for _, changed in recap),
              "run 4: changes reported: %s" % recap)
        check(all(row["outcome"] == "unchanged" for row in rows.values()), "run 4: outcomes other than unchanged")
        check(fleet_state(fleet.root) == state and len(fleet.audit_records()) == audit_before,
              "run 4 changed the fleet")
    finally:
        print("fleet lane: %.0f s, scratch %s" % (time.monotonic() - started, scratch), flush=True)
        if not FAILURES and "FLEET_KEEP" not in os.environ:
            shutil.rmtree(scratch, ignore_errors=True)
    print("%d check(s) failed" % len(FAILURES) if FAILURES else "all checks passed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())

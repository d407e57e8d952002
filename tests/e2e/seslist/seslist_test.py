#!/usr/bin/env python3
"""seslist against simulated enclosures attached in one `sesim run`: what it lists, in JSON (read
back with the json module) and as a table, and that it only reads. Usage: seslist_test.py BIN_DIR"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

BIN = sys.argv.pop(1) if len(sys.argv) > 1 else "build/bin"
FIELDS = ["path", "enclosure", "peripheral_device_type", "vendor", "product", "revision", "serial",
          "identifier", "download_status", "download_status_code", "max_image_size", "same_enclosure_as",
          "error"]


def run(*argv):
    return subprocess.run([os.path.join(BIN, argv[0]) if "/" not in argv[0] else argv[0], *argv[1:]],
                          capture_output=True, text=True, timeout=120, check=False)


class Seslist(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.dirs = {}
        for name, options in [("enc0", ["--serial", "SERIAL0", "--max-image-size", "1048576"]),
                              ("disk", ["--device-type", "0", "--no-encserv", "--serial", "DISK1"]),
                              ("nopage", ["--serial", "SERIAL2", "--no-page-0e", "--revision", "0300"]),
                              ("gone", ["--serial", "SERIAL3", "--fault", "gone@cmd=1"])]:
            cls.dirs[name] = os.path.join(cls.tmp.name, name)
            assert run("sesim", "init", cls.dirs[name], *options).returncode == 0
        # enc0 twice: two paths to one enclosure.
        cls.attached = [cls.dirs[n] for n in ("enc0", "disk", "nopage", "gone", "enc0")]

    def seslist(self, *args, dirs=None):
        return run("sesim", "run", *(dirs or self.attached), "--", os.path.join(BIN, "seslist"), *args)

    def test_json_lists_each_enclosure_path_and_failure_and_only_reads(self):
        result = self.seslist("--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        document = json.loads(result.stdout)
        self.assertEqual(document["format"], 1)
        rows = {row["path"]: row for row in document["devices"]}
        for row in document["devices"]:
            self.assertEqual(list(row), FIELDS)
        self.assertEqual(list(rows), ["/dev/sg0", "/dev/sg2", "/dev/sg3", "/dev/sg4"])
        enc0 = rows["/dev/sg0"]
        self.assertEqual((enc0["vendor"], enc0["product"], enc0["revision"], enc0["serial"]),
                         ("SESIM", "SIM ENCLOSURE", "0100", "SERIAL0"))
        self.assertRegex(enc0["identifier"], r"^naa\.5[0-9a-f]{15}$")
        self.assertEqual((enc0["download_status"], enc0["download_status_code"], enc0["max_image_size"]),
                         ("idle", 0, 1048576))
        self.assertIsNone(enc0["same_enclosure_as"])
        self.assertEqual(rows["/dev/sg4"]["same_enclosure_as"], "/dev/sg0")
        self.assertEqual(rows["/dev/sg4"]["identifier"], enc0["identifier"])
        nopage = rows["/dev/sg2"]
        self.assertEqual((nopage["download_status"], nopage["download_status_code"], nopage["error"]),
                         ("not supported", None, None))
        gone = rows["/dev/sg3"]
        self.assertEqual(gone["error"], "INQUIRY failed: no answer from the device")
        self.assertIsNone(gone["peripheral_device_type"])
        self.assertIn("scsiinit: No such device", result.stderr)
        # INQUIRY and RECEIVE DIAGNOSTIC RESULTS only, whatever the device.
        for name in ("enc0", "disk", "nopage"):
            with open(os.path.join(self.dirs[name], "commands.log"), encoding="ascii") as log:
                self.assertEqual({line.split()[1] for line in log}, {"op=12", "op=1c"} - (
                    {"op=1c"} if name == "disk" else set()), name)

        every = json.loads(self.seslist("--all", "-j").stdout)["devices"]
        disk = [row for row in every if row["path"] == "/dev/sg1"][0]
        self.assertEqual((disk["enclosure"], disk["peripheral_device_type"], disk["serial"], disk["download_status"]),
                         (False, 0, "DISK1", None))

    def test_table_is_aligned_and_notes_each_row(self):
        result = self.seslist("--all")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        header = lines[0]
        starts = [header.index(title) for title in ("VENDOR", "PRODUCT", "REV", "SERIAL", "IDENTIFIER",
                                                    "DOWNLOAD STATUS", "MAX IMAGE", "NOTE")]
        for line in lines[1:]:
            for start in [start for start in starts if start < len(line)]:
                self.assertEqual(line[start - 2:start], "  ", line)
                self.assertNotEqual(line[start], " ", line)
        self.assertTrue(lines[1].startswith("/dev/sg0  SESIM   SIM ENCLOSURE  0100  SERIAL0"))
        self.assertTrue(lines[2].endswith("not an enclosure (type 0x00)"))
        self.assertIn("  not supported  ", lines[3])
        # Gone at its first command, or gone already when the other test ran first.
        self.assertRegex(lines[4], "(INQUIRY failed: no answer from the device|cannot open: No such device)$")
        self.assertTrue(lines[5].endswith("same enclosure as /dev/sg0"))

    def test_empty_listing_bad_usage_and_failed_discovery(self):
        result = self.seslist(dirs=[self.dirs["disk"]])
        self.assertEqual((result.returncode, result.stdout), (0, "No enclosure services devices found\n"))
        result = self.seslist("--json", dirs=[self.dirs["disk"]])
        self.assertEqual(json.loads(result.stdout), {"format": 1, "devices": []})
        result = run("seslist", "--bogus")
        self.assertEqual(result.returncode, 2)
        self.assertTrue(result.stderr.startswith("seslist: unknown argument '--bogus'\nUsage: seslist"))
        if not os.path.exists("/sys/class/scsi_generic"):
            result = run("seslist")
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stderr, "seslist: cannot list the SCSI generic devices in "
                             "/sys/class/scsi_generic: No such file or directory\n")


if __name__ == "__main__":
    unittest.main()

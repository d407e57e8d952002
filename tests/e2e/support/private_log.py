#!/usr/bin/env python3
"""Runs a command with a log socket of its own: private_log.py LOGFILE COMMAND [ARGS...]

In a mount namespace of its own (unshare -m, as root), /dev becomes a fresh directory holding a
link to each of the host's device nodes and a datagram socket at /dev/log, where syslog(3)
delivers. Every record that arrives is appended to LOGFILE, one a line, as sent (with its
"<PRI>" prefix). Exits with the command's status. Nothing is created in the host's /dev.

Exit status 125: the namespace could not be made (not root, or namespaces not allowed)."""
import os
import socket
import subprocess
import sys
import tempfile
import threading

INSIDE = "--inside"


def receive(sock, logfile):
    with open(logfile, "ab", buffering=0) as out:
        while True:
            record = sock.recv(65536)
            if not record:  # the empty datagram sent after the command ended
                return
            out.write(record.rstrip(b"\n").replace(b"\n", b"\\n") + b"\n")


def inside(logfile, command):
    scratch = tempfile.mkdtemp(prefix="private-log.")
    host_dev = os.path.join(scratch, "dev")
    os.mkdir(host_dev)
    subprocess.run(["mount", "--rbind", "/dev", host_dev], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "private-dev", "/dev"], check=True)
    for name in os.listdir(host_dev):
        os.symlink(os.path.join(host_dev, name), os.path.join("/dev", name))
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind("/dev/log")
    os.chmod("/dev/log", 0o666)
    receiver = threading.Thread(target=receive, args=(sock, logfile))
    receiver.start()
    try:
        status = subprocess.call(command)
    finally:
        sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sender.sendto(b"", "/dev/log")
        receiver.join()
        # The scratch directory is the host's; only its mount belongs to this namespace.
        subprocess.run(["umount", "--recursive", "--lazy", host_dev], check=False)
        os.rmdir(host_dev)
        os.rmdir(scratch)
    return status


def main():
    if sys.argv[1] == INSIDE:
        return inside(sys.argv[2], sys.argv[3:])
    logfile = os.path.abspath(sys.argv[1])
    open(logfile, "ab").close()
    try:
        return subprocess.call(["unshare", "--mount", "--propagation", "private", sys.executable,
                                os.path.abspath(__file__), INSIDE, logfile] + sys.argv[2:])
    except OSError:
        return 125


if __name__ == "__main__":
    sys.exit(main())

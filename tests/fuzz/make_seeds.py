#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (corpus/NAME/*): well-formed inputs of each kind
and a few near misses, so that a short run starts from the interesting shapes. Run it again
after changing it; the files are checked in."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def status_page(status, expected, gen=0, page_code=0x0E, page_length=20, sub=0, additional=0):
    header = struct.pack(">BBHI", page_code, 0, page_length, gen)
    desc = struct.pack(">BBBBI3xBI", 0, sub, status, additional, 0x20000000, 0, expected)
    return header + desc


def inquiry(device_type=0x0D, flags=0, vendor=b"SESIM   ", product=b"SIM ENCLOSURE   ", rev=b"0100"):
    return bytes([device_type, 0, 6, 2, 31, 0, flags, 0]) + vendor + product + rev


def control_page(mode, offset, image_length, data, gen=0):
    padded = data + b"\0" * (-len(data) % 4)
    return struct.pack(">BBHIBBBBIII", 0x0E, 0, 20 + len(padded), gen, mode, 0, 0, 0, offset, image_length,
                       len(data)) + padded


# fwpush: the status page decoder
write("fuzz_fwpush_status", "idle", status_page(0x00, 0))
write("fuzz_fwpush_status", "in-progress", status_page(0x01, 4072))
write("fuzz_fwpush_status", "any-offset", status_page(0x01, 0xFFFFFFFF, gen=7))
write("fuzz_fwpush_status", "field-error", status_page(0x80, 0, additional=12))
write("fuzz_fwpush_status", "short", status_page(0x10, 0, page_length=12)[:16])
write("fuzz_fwpush_status", "two-subenclosures", status_page(0x13, 0, page_length=36) + bytes(16))
write("fuzz_fwpush_status", "wrong-page", status_page(0x10, 0, page_code=0x02))

# fwpush: inquiry data, then the supported pages list read from the same bytes
write("fuzz_fwpush_inquiry", "enclosure", inquiry())
write("fuzz_fwpush_inquiry", "encserv-disk", inquiry(device_type=0x00, flags=0x40))
write("fuzz_fwpush_inquiry", "short", inquiry()[:20])
write("fuzz_fwpush_inquiry", "pages", bytes([0x00, 0, 0, 5, 0x00, 0x01, 0x02, 0x07, 0x0E]))
write("fuzz_fwpush_inquiry", "pages-overlong", bytes([0x00, 0, 0xFF, 0xFF, 0x00, 0x01, 0x0E]))

# fwpush: command lines (arguments separated by NUL)
for name, args in {
    "download": ["-p=100", "/dev/sg3", "fw.img"],
    "deferred": ["-a", "-t=0x10", "/dev/sg3", "fw.img"],
    "activate": ["-A", "/dev/sg3"],
    "help": ["-h"],
    "bad-page": ["-p=24", "/dev/sg3", "fw.img"],
    "huge-number": ["-p=99999999999999999999", "/dev/sg3", "fw.img"],
    "octal": ["-p=0777", "-d", "/dev/sg3", "fw.img"],
    "too-many": ["a", "b", "c", "d", "e", "f"],
}.items():
    write("fuzz_fwpush_cmdline", name, b"\0".join(a.encode() for a in args))

# bufterm: console responses
def response(text, pending=0, length=None):
    return struct.pack(">HH", len(text) if length is None else length, pending) + text

write("fuzz_bufterm_response", "text", response(b"revision 0100\n"))
write("fuzz_bufterm_response", "pending-empty", response(b"", pending=1))
write("fuzz_bufterm_response", "longest", response(b"x" * 507) + b"\0")
write("fuzz_bufterm_response", "too-long", response(b"x" * 504, length=508))
write("fuzz_bufterm_response", "header-only", response(b"", length=3))

# Sense data
write("fuzz_sense", "fixed-ua", bytes([0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00, 0, 0, 0, 0]))
write("fuzz_sense", "fixed-deferred-short", bytes([0x71, 0, 0x04, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0x44, 0x99, 0, 0]))
write("fuzz_sense", "descriptor", bytes([0x72, 0x0B, 0x47, 0x00, 0, 0, 0, 0]) + bytes(8))
write("fuzz_sense", "descriptor-deferred", bytes([0x73, 0x05, 0x24, 0x00]) + bytes(12))
write("fuzz_sense", "vendor", bytes([0x7F]) + bytes(15))

# Codecs: selector, then parameters, then bytes to decode
write("fuzz_codecs", "sa-in-12", bytes([0, 0, 12, 0x10, 0, 12]) + bytes([0xAB, 0x10]) + bytes(10))
write("fuzz_codecs", "sa-bidi-16", bytes([0, 2, 16, 0x1F, 0x80, 16]) + bytes([0x9D, 0x01]) + bytes(14))
write("fuzz_codecs", "rs", bytes([1, 16, 0, 6]) + bytes([0x03, 0, 0, 0, 0x10, 0]))
write("fuzz_codecs", "rs-short-alloc", bytes([1, 8, 0, 6]) + bytes([0x03, 0, 0]))
write("fuzz_codecs", "short-sense", bytes([2, 1, 0x06, 0x29, 0x00, 16]))

# Line editor: buffer size (16 bits), prompt and NUL, then keys
def keys(size, text, prompt=b"DIDIVAR>"):
    return struct.pack(">H", size) + prompt + b"\0" + text

write("fuzz_line_editor", "lines", keys(510, b"rev\nstatus\n"))
write("fuzz_line_editor", "recall", keys(510, b"echo hello\n\x1b[A\x1b[A\n"))
write("fuzz_line_editor", "erase", keys(510, b"abc\x7f\x08\x08\x08d\r"))
write("fuzz_line_editor", "fill", keys(8, b"abcdefghij\n\x1b[A\n"))
write("fuzz_line_editor", "tiny", keys(2, b"x\x1b[A\n"))
write("fuzz_line_editor", "long-prompt", keys(510, b"\x1bOA\n", prompt=b"P" * 40))
# A NUL stands for a pause: Escape alone
write("fuzz_line_editor", "escapes", keys(510, b"ab\x1b[3~\x1b[1;5D\x1bOP\x1bx\x1b\x00\x1b\x1b[Ac\x1b[1\r"))
write("fuzz_line_editor", "utf8", keys(510, "n\u00e9\u20ac\x7f\x7f".encode() + b"\xe2\x82x\xa9\x7f\r"))
write("fuzz_line_editor", "full-tail", keys(9, "abcdefg\u00e9".encode() + b"tail\x1b[A\rok\r"))

# Simulator: settings, then commands (event byte, CDB length and bytes, data-out, data-in room)
def cmd(cdb, dout=b"", din=0, delay=0):
    return bytes([delay << 4, len(cdb) - 1]) + cdb + struct.pack(">H", len(dout)) + dout + struct.pack(">H", din)

image = b"SESIMG01" + b"0200" + struct.pack(">I", 16) + bytes(range(16))
import zlib
image += struct.pack(">I", zlib.crc32(image))
settings = bytes([0x80, 0, 1, 0, 0, 100])
status_read = cmd(bytes([0x1C, 1, 0x0E, 0, 60, 0]), din=60)
session = settings + cmd(bytes([0x12, 0, 0, 0, 96, 0]), din=96) + cmd(bytes(6)) + \
    cmd(bytes([0x1C, 1, 0, 0, 96, 0]), din=96) + status_read
for offset in range(0, len(image), 20):
    page = control_page(0x07, offset, len(image), image[offset:offset + 20])
    session += cmd(bytes([0x1D, 0x10, 0, len(page) >> 8, len(page) & 0xFF, 0]), page) + status_read
session += status_read + status_read
write("fuzz_sim_model", "download", session)
deferred = settings + status_read + cmd(
    bytes([0x1D, 0x10, 0, 0, 24 + len(image), 0]), control_page(0x0E, 0, len(image), image)) + status_read * 4 + \
    cmd(bytes([0x1D, 0x10, 0, 0, 24, 0]), control_page(0x0F, 0, 0, b"", gen=1)) + status_read + bytes([0x0F])
write("fuzz_sim_model", "deferred-activate", deferred)
console = bytes([0x01, 0, 1, 0, 0, 0]) + cmd(bytes([0x03, 0, 0, 0, 16, 0]), din=16)
for text in [b"help", b"log 30", b"rev", b"sleep 5", b"reset"]:
    message = b"\x01\x00" + text + b"\0"
    console += cmd(bytes([0x3B, 1, 1, 0, 0, 0, 0, 0, len(message), 0]), message)
    console += cmd(bytes([0x3C, 1, 1, 0, 0, 0, 0, 1, 0xFC, 0]), din=508) * 3
console += cmd(bytes([0x3C, 3, 1, 0, 0, 0, 0, 0, 4, 0]), din=4)
write("fuzz_sim_model", "console", console)
faulted = bytes([0xC1, 2, 1, 0, 0, 0]) + bytes([3, 0, 2, 0, 1, 1, 1, 12, 9, 3, 0x01, 0xFC])
faulted += cmd(bytes([0x12, 1, 0x83, 0, 255, 0]), din=255) + cmd(bytes([0x12, 1, 0x80, 0, 255, 0]), din=255)
faulted += cmd(bytes([0xA0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0]), din=256) + status_read * 3
faulted += cmd(bytes([0x03, 1, 0, 0, 32, 0]), din=32) + cmd(bytes([0x1C, 0, 0, 0, 255, 0]), din=255)
write("fuzz_sim_model", "faults-and-pages", faulted)

# Simulator: configuration file and fault files
write("fuzz_sim_config", "config", b"""vendor SESIM
product SIM ENCLOSURE
serial SIM0000001
device-type 13
encserv 0
max-image-size 536870912
busy-reads 2
busy-ms 0
complete-status 0x10
deferred-busy-status 0x02
download-timeout-ms 30000
accept-any-image 0
offset-alignment-check 1
latency-us 0
page-0e 1
read-buffer 1
descriptor-sense 0
secondary-subenclosures 0
fault check@cmd=3,sense=05/24/00
""")
write("fuzz_sim_config", "faults", b"""# faults
check@cmd=3,sense=05/24/00,format=desc
errno@op=1c,count=2,errno=ENODEV
drop@block=2
stuck@cmd=4+,reads=3
garbage-status@cmd=5,seed=9
bad-length@op=3c,value=600
host@cmd=1,code=0b,when=after
status@cmd=2,value=18
""")

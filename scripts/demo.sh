#!/usr/bin/env bash
# Rehearses a firmware update on a simulated enclosure: create the enclosure, make an image,
# download it with fwpush and show the firmware revision before and after.
# Run through `make demo`, which builds first; BUILD_DIR names the build tree (default build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BUILD_DIR:-$root/build}
case $bin in /*) ;; *) bin=$root/$bin ;; esac
bin=$bin/bin
for program in sesim fwpush bufterm; do
  if [ ! -x "$bin/$program" ]; then
    echo "demo: $bin/$program is missing; run 'make demo' to build it first" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/sesim-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
enclosure=$work/enclosure
image=$work/firmware-0200.img
device=/dev/sesim0

step() { printf '\n==> %s\n' "$*"; }
revision() { "$bin/sesim" show "$enclosure" | grep -E '^(revision|active image|deferred image):'; }

step "Creating a simulated enclosure (firmware revision 0100) in $enclosure"
# A little latency per command and a short storage phase let the progress be seen.
"$bin/sesim" init "$enclosure" --revision 0100 --latency-us 8000 --busy-ms 400 --no-unit-attention

step "Making a 256 KiB firmware image, revision 0200"
"$bin/sesim" mkimage --revision 0200 --size 262144 "$image"
sha256sum "$image"

step "Firmware before the download"
revision
step "Console: bufterm $device rev (before the download)"
"$bin/sesim" run "$enclosure" -- "$bin/bufterm" "$device" rev
echo

step "Downloading: fwpush $device $image"
"$bin/sesim" run "$enclosure" -- "$bin/fwpush" "$device" "$image"

step "Firmware after the download"
revision
step "Console: bufterm $device rev (after the download)"
"$bin/sesim" run "$enclosure" -- "$bin/bufterm" "$device" rev
echo

step "Done. On a real enclosure: fwpush /dev/sgN firmware.img (see README.md)"

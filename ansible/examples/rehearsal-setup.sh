#!/bin/sh
# Creates the simulated enclosures of the rehearsal inventory (rehearsal.yml) and an image:
#   rehearsal-setup.sh [ROOT [HOSTS [ENCLOSURES]]]
# ROOT (default /tmp/ses-rehearsal) gets hostNN/encK for HOSTS hosts (12) of ENCLOSURES
# enclosures (4), each running firmware 0100 with a serial number of its own, and the image
# firmware-0200.img (256 KiB). Enclosures already there are replaced.
set -eu
root=${1:-/tmp/ses-rehearsal}
hosts=${2:-12}
enclosures=${3:-4}
sesim=${SESIM:-sesim}
mkdir -p "$root"
host=1
while [ "$host" -le "$hosts" ]; do
    name=$(printf 'host%02d' "$host")
    k=0
    while [ "$k" -lt "$enclosures" ]; do
        "$sesim" init "$root/$name/enc$k" --force --revision 0100 --serial "SIM-$name-$k"
        k=$((k + 1))
    done
    host=$((host + 1))
done
"$sesim" mkimage --revision 0200 --size 262144 "$root/firmware-0200.img"
echo "$hosts hosts with $enclosures simulated enclosures each in $root; image $root/firmware-0200.img"

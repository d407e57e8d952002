#!/usr/bin/env bash
# The real-kernel lane, host side. Builds a QEMU guest from the distribution's kernel package and
# busybox, packs the programs and the guest cases into its initramfs, boots it once and collects
# one verdict line per case from the guest's second serial port into WORK_DIR/results.txt.
#
# The kernel package (the one linux-image-amd64 depends on) is fetched with apt-get download and
# cached, with the uncompressed kernel, the modules the lane needs and a base initramfs, under
# $SESMAINT_KERNEL_CACHE (default: $XDG_CACHE_HOME/sesmaint-kernel), keyed by package version.
#
# Exit status: 0 when the guest ran to the end of its cases (the cases' own verdicts are in the
# results file), 1 when the guest could not be built, booted or did not finish.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 3 ] || { echo "usage: lane.sh BIN_DIR WORK_DIR 'PROGRAM...' [PRELOAD_LIBRARY]" >&2; exit 2; }
bin_dir=$1 work_dir=$2 programs=$3 preload=${4:-}
results=$work_dir/results.txt
# The cases' tests read their verdicts from this file: a lane that stops before the guest runs
# must not leave them an earlier run's.
rm -f "$results"

cache=${SESMAINT_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/sesmaint-kernel}
# The whole guest run takes well under a minute; a hung guest is stopped here.
guest_timeout=${SESMAINT_KERNEL_TIMEOUT:-240}
# Modules the guest needs; their dependencies are found in their own depends= fields.
# The ses driver (and the enclosure class it needs) is loaded by the judgement case only.
wanted_modules="sg scsi_debug configfs uio target_core_user tcm_loop ses"
# sg3-utils programs used as the independent check inside the guest.
sg3_programs="sg_inq sg_turs sg_ses sg_senddiag sg_raw sg_requests sg_read_buffer sg_write_buffer sg_ses_microcode"
# Bumped whenever the layout of the cached base image changes.
base_format=2

temp_dirs=()
cleanup() { [ ${#temp_dirs[@]} -eq 0 ] || rm -rf "${temp_dirs[@]}"; }
trap cleanup EXIT

say() { echo "lane: $*" >&2; }
die() { say "$*"; exit 1; }

sudo_cmd=
[ "$(id -u)" -eq 0 ] || sudo_cmd=sudo

for tool in qemu-system-x86_64 busybox cpio xz gzip dpkg-deb apt-get apt-cache strings; do
    command -v "$tool" >/dev/null || die "$tool is missing: install the packages in scripts/packages/kernel.txt (scripts/deps.sh)"
done
busybox_bin=$(command -v busybox)
if ldd "$busybox_bin" >/dev/null 2>&1; then
    die "$busybox_bin is not statically linked: install busybox-static"
fi

# The versioned kernel package behind linux-image-amd64, as "NAME VERSION".
kernel_package() {
    local name version
    name=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ <>]*\)$/\1/p' | head -1)
    [ -n "$name" ] || return 1
    version=$(apt-cache policy "$name" 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -1)
    [ -n "$version" ] && [ "$version" != "(none)" ] || return 1
    echo "$name $version"
}

refresh_package_lists() {
    say "$1: running apt-get update"
    $sudo_cmd apt-get update -q >&2 || true
}

package=$(kernel_package) || {
    refresh_package_lists "the package lists do not know linux-image-amd64"
    package=$(kernel_package) || package=
}
mkdir -p "$cache"
if [ -z "$package" ]; then
    # Offline and without package lists: the newest kernel fetched earlier still serves.
    kernel_dir=$({ ls -dt "$cache"/linux-image-*/ 2>/dev/null || true; } | head -1)
    kernel_dir=${kernel_dir%/}
    [ -n "$kernel_dir" ] || die "cannot find the kernel package behind linux-image-amd64, and none is cached"
    say "package lists unavailable: using the cached $(basename "$kernel_dir")"
    package=$(cat "$kernel_dir/package")
fi
kernel_dir=$cache/${package/ /_}

# Orders modules so that each follows everything it depends on.
declare -A module_file=() module_seen=()
module_order=()
add_module() {
    local name=${1//-/_} dep
    [ -n "${module_seen[$name]:-}" ] && return 0
    module_seen[$name]=1
    local file=${module_file[$name]:-}
    [ -n "$file" ] || die "module $1 is not in the kernel package"
    for dep in $(case $file in *.xz) xz -dc "$file" ;; *) cat "$file" ;; esac | strings -a | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    module_order+=("$(basename "${file%.ko*}")")
}

# The cached kernel, with every module the lane wants (a cache from before a module was wanted
# is fetched again).
cache_complete() {
    local m
    [ -s "$kernel_dir/vmlinux" ] && [ -s "$kernel_dir/modules/load-order" ] || return 1
    for m in $wanted_modules; do
        [ -s "$kernel_dir/modules/$m.ko" ] || return 1
    done
}

fetch_kernel() {
    local name=${package% *} version=${package#* } tmp deb vmlinuz offset f base
    tmp=$(mktemp -d "$cache/fetch.XXXXXX")
    temp_dirs+=("$tmp")
    say "fetching $name $version"
    if ! (cd "$tmp" && apt-get download -q "$name=$version" >&2); then
        # Stale lists name a version the archive no longer has: ask again after a refresh.
        refresh_package_lists "cannot download $name $version"
        package=$(kernel_package) || die "cannot find the kernel package behind linux-image-amd64"
        name=${package% *}
        version=${package#* }
        kernel_dir=$cache/${package/ /_}
        cache_complete && return 0
        say "fetching $name $version"
        (cd "$tmp" && apt-get download -q "$name=$version" >&2) || die "cannot download $name $version"
    fi
    deb=$(ls "$tmp"/*.deb)
    mkdir "$tmp/root" "$tmp/out" "$tmp/out/modules"
    dpkg-deb -x "$deb" "$tmp/root"
    # The ELF kernel boots directly (PVH entry) and spares the guest the decompression, which
    # costs seconds under emulation; it is the xz stream inside the compressed image.
    vmlinuz=$(ls "$tmp"/root/boot/vmlinuz-*)
    offset=$({ LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" || true; } | head -1 | cut -d: -f1)
    [ -n "$offset" ] || die "no xz stream in $vmlinuz"
    # xz stops reading at the end of the first stream, which may leave tail writing to a closed pipe.
    { tail -c +$((offset + 1)) "$vmlinuz" || true; } | xz -dc --single-stream >"$tmp/out/vmlinux"
    [ "$(head -c 4 "$tmp/out/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || die "the kernel image holds no ELF kernel"
    while IFS= read -r f; do
        base=$(basename "$f")
        base=${base%.ko*}
        module_file[${base//-/_}]=$f
    done < <(find "$tmp/root/lib/modules" -name '*.ko' -o -name '*.ko.xz')
    for f in $wanted_modules; do add_module "$f"; done
    for base in "${module_order[@]}"; do
        f=${module_file[${base//-/_}]}
        case $f in
        *.xz) xz -dc "$f" >"$tmp/out/modules/$base.ko" ;;
        *) cp "$f" "$tmp/out/modules/$base.ko" ;;
        esac
    done
    printf '%s\n' "${module_order[@]}" >"$tmp/out/modules/load-order"
    echo "$name $version" >"$tmp/out/package"
    rm -rf "$kernel_dir"
    mv "$tmp/out" "$kernel_dir"
}

cache_complete || fetch_kernel

# The base initramfs: busybox with its applet links and the modules. It changes only with the
# kernel or busybox, so it is cached beside the kernel.
busybox_version=$(dpkg-query -W -f='${Version}' busybox-static 2>/dev/null || echo unknown)
base_image=$kernel_dir/base-$base_format-$busybox_version.cpio.gz
if [ ! -s "$base_image" ]; then
    say "building the base initramfs"
    tmp=$(mktemp -d "$cache/base.XXXXXX")
    temp_dirs+=("$tmp")
    mkdir -p "$tmp"/{bin,dev,proc,sys,tmp,lib/modules}
    cp "$busybox_bin" "$tmp/bin/busybox"
    for applet in $("$busybox_bin" --list); do
        [ "$applet" = busybox ] || ln -s busybox "$tmp/bin/$applet"
    done
    cp "$kernel_dir"/modules/*.ko "$kernel_dir/modules/load-order" "$tmp/lib/modules/"
    (cd "$tmp" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --owner=0:0 --quiet | gzip -1) >"$base_image.tmp"
    mv "$base_image.tmp" "$base_image"
    rm -rf "$tmp"
fi

# The payload: init, the cases, our programs and sg3-utils with the shared libraries they load.
mkdir -p "$work_dir"
payload=$work_dir/payload
rm -rf "$payload"
mkdir -p "$payload/bin" "$payload/lane"
cp "$here/guest/init" "$payload/init"
cp "$here"/guest/*.sh "$payload/lane/"
copy_program() {
    local program=$1 destination=${2:-bin} lib
    cp "$program" "$payload/$destination/"
    for lib in $(ldd "$program" 2>/dev/null | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'); do
        [ -e "$payload$lib" ] || cp -L --parents "$lib" "$payload"
    done
}
for program in $programs; do
    [ -x "$bin_dir/$program" ] || die "$bin_dir/$program is missing: build the project first"
    copy_program "$bin_dir/$program"
done
# The simulator's preload library, where `sesim run` looks for it beside bin/, so that the guest
# can run the same program against the same model without the kernel in between.
if [ -n "$preload" ]; then
    [ -r "$preload" ] || die "$preload is missing: build the project first"
    mkdir -p "$payload/lib"
    copy_program "$preload" lib
fi
for program in $sg3_programs; do
    path=$(command -v "$program") || die "$program is missing: install sg3-utils"
    copy_program "$path"
done
(cd "$payload" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --owner=0:0 --quiet | gzip -1) >"$work_dir/payload.cpio.gz"
# The kernel unpacks concatenated archives one after the other.
cat "$base_image" "$work_dir/payload.cpio.gz" >"$work_dir/initrd.img"

say "booting $(cat "$kernel_dir/package") ($(du -k "$work_dir/initrd.img" | cut -f1) KiB initramfs)"
rm -f "$work_dir/console.log" "$work_dir/results.raw"
started=$(date +%s%N)
set +e
# One vCPU: SG_IO round trips under emulation get slower and erratic with two. The debug-exit
# device turns the guest's verdict byte N into exit status 2N+1; 0 means no verdict.
timeout -k 5 "$guest_timeout" qemu-system-x86_64 \
    -machine pc -cpu max -smp 1 -m 512M \
    -nodefaults -display none -no-reboot \
    -kernel "$kernel_dir/vmlinux" -initrd "$work_dir/initrd.img" \
    -append "console=ttyS0 panic=-1 loglevel=4 8250.nr_uarts=2 rdinit=/init" \
    -serial "file:$work_dir/console.log" -serial "file:$work_dir/results.raw" \
    -device isa-debug-exit,iobase=0xf4,iosize=0x04 </dev/null >"$work_dir/qemu.log" 2>&1
qemu_status=$?
set -e
elapsed_ms=$((($(date +%s%N) - started) / 1000000))

tr -d '\r' <"$work_dir/results.raw" >"$results" 2>/dev/null || : >"$results"
cat "$results"
verdict_ok=0
case $qemu_status in
1) verdict_ok=1 ;;
3) say "the guest reported failed cases" ; verdict_ok=1 ;;
124|137) say "the guest did not finish within $guest_timeout s" ;;
0) say "the guest stopped without a verdict (kernel panic or power-off)" ;;
*) say "QEMU ended with status $qemu_status: $(tail -3 "$work_dir/qemu.log")" ;;
esac
if [ "$verdict_ok" -ne 1 ] || ! grep -q '^END ' "$results"; then
    say "last kernel messages (all in $work_dir/console.log):"
    tail -30 "$work_dir/console.log" | tr -d '\r' >&2 || true
    exit 1
fi
say "guest ran in $((elapsed_ms / 1000)).$(printf %03d $((elapsed_ms % 1000))) s"
exit 0

# The guest cases. Each case_NAME function becomes the CTest test kernel.NAME; they run in the
# order they are defined here.

CONFIGFS=/sys/kernel/config
TCMU_BACKSTORE=$CONFIGFS/target/core/user_0
LOOPBACK=$CONFIGFS/target/loopback
# World wide names of the loopback target port and of the initiator port behind it.
TARGET_WWN=naa.5001405000000001
INITIATOR_WWN=naa.5001405000000002

case_modules() {
    # The target core asks for its other backends by module name; there is nothing to load, and
    # the real loader's absence would cost a failed helper start per request.
    echo /bin/true >/proc/sys/kernel/modprobe
    for module in $(cat /lib/modules/load-order); do
        # scsi_debug is loaded by the cases that need it, with the device type they need; the
        # ses driver sends its own diagnostic requests, so it comes after the deterministic cases.
        case $module in scsi_debug | ses | enclosure) continue ;; esac
        step insmod "/lib/modules/$module.ko"
    done
    mount -t configfs configfs "$CONFIGFS" || fail "cannot mount configfs"
}

# Makes scsi_debug present with one device of peripheral type $1, loading it afresh when it is
# absent or of another type; its sg node lands in $SCSI_DEBUG. A fresh device reports a power-on
# unit attention to the first command that is not INQUIRY, REPORT LUNS or REQUEST SENSE.
SCSI_DEBUG_TYPE=
use_scsi_debug() {
    if [ "$SCSI_DEBUG_TYPE" = "$1" ] && [ -e "$SCSI_DEBUG" ]; then
        return 0
    fi
    rmmod scsi_debug 2>/dev/null
    SCSI_DEBUG=
    SCSI_DEBUG_TYPE=
    step insmod /lib/modules/scsi_debug.ko "ptype=$1" || return 1
    wait_until sg_node_of scsi_debug || { fail "no sg node for scsi_debug"; return 1; }
    SCSI_DEBUG=$SG_NODE
    SCSI_DEBUG_TYPE=$1
}

# Any bytes do as an image for a device that refuses before the download starts.
ANY_IMAGE=/tmp/any.img

# Runs the command with every argument @DEV@ replaced by the device $1.
run_at() {
    device=$1
    shift
    # The word list is read before the loop: each argument goes round once, replaced or not.
    for arg; do
        shift
        [ "$arg" = @DEV@ ] && arg=$device
        set -- "$@" "$arg"
    done
    run "$@"
}

# scsi_debug_case TYPE PROGRAM ARGS...: the program, with @DEV@ for scsi_debug's node, run on a
# scsi_debug device of peripheral type TYPE, fails; standard error is the text on standard input,
# with @DEV@ for the node again.
scsi_debug_case() {
    use_scsi_debug "$1" || return
    shift
    [ -e "$ANY_IMAGE" ] || head -c 10000 /dev/zero >"$ANY_IMAGE"
    run_at "$SCSI_DEBUG" "$@"
    expect_status 1
    sed -i "s,$SCSI_DEBUG,@DEV@,g" "$ERR"
    expect_err
}

# Runs first on a fresh enclosure-type scsi_debug, whose unit attention INQUIRY leaves pending:
# one TEST UNIT READY clears it; the device then rejects RECEIVE DIAGNOSTIC RESULTS as an invalid
# operation code. A new scsi_debug device reports POWER ON OCCURRED (29/01); 29/00 (power on,
# reset or bus device reset) is what it reports after a reset.
case_fwpush_scsi_debug_enclosure() {
    scsi_debug_case 13 fwpush @DEV@ "$ANY_IMAGE" <<END
TEST_UNIT_READY failed: Sense 02,06,29,01
RCV_DIAG_RESULT failed: Sense 02,05,20,00
Send failed status 4
END
    expect_line out "Device supports SES"
    expect_line out "Checking for SES Page 0xE support"
}

# The INQUIRY shows an enclosure, but bufterm's start-up probe is a READ BUFFER, which
# scsi_debug rejects as an invalid opcode.
case_bufterm_scsi_debug_enclosure() {
    scsi_debug_case 13 bufterm @DEV@ rev <<END
Send failed: Sense 02,05,20,00
SCSI target device does not support BUFTERM
END
}

case_fwpush_refuses_disk() {
    scsi_debug_case 0 fwpush @DEV@ "$ANY_IMAGE" <<END
Device @DEV@ is not an enclosure services device
END
    expect_line out "Vendor                : Linux   "
    expect_line out "Product               : scsi_debug      "
}

# The INQUIRY shows a disk: no console command (WRITE BUFFER mode 01h, vendor specific) reaches it.
case_bufterm_refuses_disk() {
    scsi_debug_case 0 bufterm @DEV@ rev <<END
Device @DEV@ is not an enclosure services device
END
}

# Fails the case with the handler's log and the kernel's last messages.
handler_failed() {
    fail "$1"
    show_file handler /tmp/handler.log
    dmesg | tail -20 >/tmp/dmesg.tail
    show_file dmesg /tmp/dmesg.tail
    return 1
}

# Creates the TCMU backstore $1, starts the handler on its uio device with the arguments that
# follow, and links it to a loopback target; the sg node lands in $ENCLOSURE.
attach_tcmu() {
    name=$1
    shift
    ENCLOSURE=
    store=$TCMU_BACKSTORE/$name
    step mkdir -p "$store" || return 1
    echo "dev_config=sesim/$name" >"$store/control"
    echo "dev_size=1048576" >"$store/control"
    # Should the handler die, a command fails after this many seconds rather than 30.
    echo 5 >"$store/attrib/cmd_time_out" 2>/dev/null
    echo 1 >"$store/enable" || { fail "cannot enable backstore $name"; return 1; }
    uio=
    for dev in /sys/class/uio/uio*; do
        case $(cat "$dev/name") in
        tcm-user/*/"$name"/*) uio=/dev/${dev##*/} ;;
        esac
    done
    [ -n "$uio" ] || { fail "no uio device for backstore $name"; return 1; }
    wait_until [ -e "$uio" ] || { fail "$uio did not appear"; return 1; }
    rm -f /tmp/handler.ready
    # The handler must be serving before the LUN is linked: the scan's INQUIRY goes to it.
    HANDLER_PID=
    "$@" --ready /tmp/handler.ready "$uio" >/tmp/handler.log 2>&1 &
    HANDLER_PID=$!
    wait_until [ -e /tmp/handler.ready ] || { handler_failed "the handler did not start"; return; }
    lun=$LOOPBACK/$TARGET_WWN/tpgt_1/lun/lun_0
    step mkdir -p "$lun" || return 1
    echo "$INITIATOR_WWN" >"$LOOPBACK/$TARGET_WWN/tpgt_1/nexus"
    step ln -s "$store" "$lun/$name" || return 1
    wait_until sg_node_of tcm_loopback || { handler_failed "no sg node for the loopback target"; return; }
    ENCLOSURE=$SG_NODE
}

# The enclosure attached through the kernel (TCMU behind tcm_loop, reached as /dev/sgN) and its
# twin attached through the preload library (/dev/sesim0) start alike and get the same programs;
# every run must give the same exit status, output and commands at the device on both.
KERNEL_ENCLOSURE=/tmp/enclosure.kernel
PRELOAD_ENCLOSURE=/tmp/enclosure.preload
PRELOAD_DEVICE=/dev/sesim0

# Runs one program line on both attachments and compares them; the kernel side's result stays
# in $OUT, $ERR and $STATUS for further checks, and its commands at the device in /tmp/kernel.log.
both() {
    kill -0 "$HANDLER_PID" 2>/dev/null || { handler_failed "sesim-tcmu is not running"; return; }
    kernel_mark=$(cat "$KERNEL_ENCLOSURE/commands.log" 2>/dev/null | wc -l)
    preload_mark=$(cat "$PRELOAD_ENCLOSURE/commands.log" 2>/dev/null | wc -l)
    run_at "$PRELOAD_DEVICE" sesim run "$PRELOAD_ENCLOSURE" -- "$@"
    preload_status=$STATUS
    mv "$OUT" /tmp/preload.out
    mv "$ERR" /tmp/preload.err
    run_at "$ENCLOSURE" "$@"
    [ "$STATUS" -eq "$preload_status" ] ||
        fail "$1: exit status $STATUS through the kernel, $preload_status through the preload library"
    # The device path is the one thing that may differ.
    sed "s,$ENCLOSURE,$PRELOAD_DEVICE,g" "$OUT" >/tmp/kernel.out
    sed "s,$ENCLOSURE,$PRELOAD_DEVICE,g" "$ERR" >/tmp/kernel.err
    tail -n +$((preload_mark + 1)) "$PRELOAD_ENCLOSURE/commands.log" >/tmp/preload.log
    tail -n +$((kernel_mark + 1)) "$KERNEL_ENCLOSURE/commands.log" >/tmp/kernel.log
    # Standard output, standard error, the commands at the device.
    for what in out err log; do
        diff /tmp/preload.$what /tmp/kernel.$what >/tmp/diff && continue
        fail "$1: the $what files differ between the preload library (-) and the kernel (+)"
        show_file diff /tmp/diff
    done
}

# Runs a sesim command on both enclosures.
sesim_both() {
    command=$1
    shift
    for dir in "$KERNEL_ENCLOSURE" "$PRELOAD_ENCLOSURE"; do step sesim "$command" "$dir" "$@"; done
}

show_value() {
    sesim show "$1" | sed -n "s/^$2: //p"
}

expect_show() {
    value=$(show_value "$KERNEL_ENCLOSURE" "$1")
    case $value in
    $2) ;;
    *) fail "sesim show: $1 is '$value', expected '$2'" ;;
    esac
}

make_image() {
    step sesim mkimage --revision "$1" --size "$2" "/tmp/image.$1"
}

# The handler serves the enclosure before the LUN exists; the midlayer's scan then reaches the
# model (shown in the notes), which must leave the power-on unit attention pending.
case_tcmu_attach() {
    rm -rf "$KERNEL_ENCLOSURE" "$PRELOAD_ENCLOSURE"
    step sesim init "$KERNEL_ENCLOSURE" && step sesim init "$PRELOAD_ENCLOSURE" || return
    attach_tcmu enclosure sesim-tcmu "$KERNEL_ENCLOSURE" || return
    show_file scan "$KERNEL_ENCLOSURE/commands.log"
    grep -q ' op=12 ' "$KERNEL_ENCLOSURE/commands.log" || fail "the scan's INQUIRY did not reach the handler"
    expect_show "unit attention" "29/00"
    # Both enclosures count commands from here.
    sesim_both fault --clear
}

# In the cases that run on both attachments, what the programs print is the twin comparison's to
# check, and the text itself the end-to-end tests' on the preload library; a case checks what
# shows that its scenario took place.
case_fwpush_tcmu_download() {
    make_image 0200 10000
    both fwpush @DEV@ /tmp/image.0200
    expect_status 0
    expect_show "revision" "0200"
}

# The independent check: sg3-utils see the new firmware and read the download status page.
case_sg3utils_tcmu() {
    both sg_inq @DEV@
    expect_status 0
    expect_line out " Vendor identification: SESIM   "
    expect_line out " Product revision level: 0200"
    # The activation left MICROCODE HAS BEEN CHANGED pending.
    both sg_turs @DEV@
    expect_status 6
    both sg_ses --page=0xe @DEV@
    expect_status 0
    grep -qi "download microcode status" "$OUT" || { fail "sg_ses shows no download microcode status page"; show_run; }
}

# A CHECK CONDITION on the second data page: fwpush reads the status page, sees the enclosure
# still waiting for that block and sends it again.
case_fwpush_tcmu_resend() {
    make_image 0400 10000
    sesim_both fault "check@block=2"
    both fwpush @DEV@ /tmp/image.0400
    expect_status 0
    expect_line err "Retrying block 1"
    expect_show "revision" "0400"
    sesim_both fault --clear
    # Leave no unit attention pending for the cases that follow.
    both sg_turs @DEV@
}

case_bufterm_tcmu_rev() {
    both bufterm @DEV@ rev
    expect_status 0
    expect_line out "revision 0400"
}

# A command whose output takes many READ BUFFER responses, each flagged pending but the last.
case_bufterm_tcmu_multi() {
    both bufterm @DEV@ "log 100"
    expect_status 0
    [ "$(grep -c '^event ' "$OUT")" -eq 100 ] || fail "not 100 event lines"
    reads=$(grep -c ' op=3c ' /tmp/kernel.log)
    [ "$reads" -ge 8 ] || fail "only $reads READ BUFFER commands for 100 lines of output"
}

# A CHECK CONDITION that comes without sense data: the kernel's error handler asks the device
# with a REQUEST SENSE of its own before the caller sees the command end. The preload library
# hands the bare status to the caller, so this case looks at the kernel side alone.
case_tcmu_sense_fetch() {
    step sesim fault "$KERNEL_ENCLOSURE" "check-nosense@op=00"
    run sg_raw -v "$ENCLOSURE" 00 00 00 00 00 00
    tail -n 2 "$KERNEL_ENCLOSURE/commands.log" >/tmp/kernel.log
    show_file log /tmp/kernel.log
    grep -q '^1 op=00 .* fault=check-nosense ' /tmp/kernel.log || fail "the TEST UNIT READY did not fail without sense"
    grep -q '^2 op=03 cdb=030000006000 ' /tmp/kernel.log || fail "no REQUEST SENSE from the kernel after the bare CHECK CONDITION"
    # The caller gets the status with the sense that the kernel's REQUEST SENSE brought back.
    expect_line err "SCSI Status: Check Condition "
    expect_line err "Fixed format, current; Sense key: No Sense"
    sesim_both fault --clear
}

# BUSY from the device: the midlayer queues the command again by itself, and the caller sees
# only the retry's GOOD status.
case_tcmu_busy_retried() {
    step sesim fault "$KERNEL_ENCLOSURE" "status@op=00,value=08,count=2"
    run sg_turs "$ENCLOSURE"
    expect_status 0
    tail -n 3 "$KERNEL_ENCLOSURE/commands.log" >/tmp/kernel.log
    show_file log /tmp/kernel.log
    [ "$(grep -c ' op=00 .* status=08 .* fault=status ' /tmp/kernel.log)" -eq 2 ] || fail "the device did not answer BUSY twice"
    grep -q '^3 op=00 .* status=00 ' /tmp/kernel.log || fail "the third TEST UNIT READY did not reach the device"
    sesim_both fault --clear
}

# An activation request (fwpush -A) leaves MICROCODE HAS BEEN CHANGED held back until the next
# command has completed, so both attachments report it at the same command of the next program.
case_fwpush_tcmu_deferred() {
    make_image 0300 9000
    both fwpush -d @DEV@ /tmp/image.0300
    expect_status 0
    expect_show "revision" "0400"
    expect_show "deferred image" "revision 0300 *"
    both fwpush -A @DEV@
    expect_status 0
    expect_show "revision" "0300"
    both sg_inq @DEV@
    expect_line out " Product revision level: 0300"
}

# The initiator library's discovery, as seslist --all lists it: every sg node in sysfs, no other;
# that each node opens and answers is the seslist case's.
case_discovery() {
    run seslist --all
    expect_status 0
    ls /sys/class/scsi_generic | sed 's,^,/dev/,' | sort >/tmp/sysfs.list
    sed -n 's,^\(/dev/[^ ]*\) .*,\1,p' "$OUT" | sort >/tmp/discovered.list
    if ! diff /tmp/sysfs.list /tmp/discovered.list >/tmp/diff; then
        fail "discovered nodes differ from /sys/class/scsi_generic"
        show_file diff /tmp/diff
    fi
    [ "$(wc -l </tmp/sysfs.list)" -ge 2 ] || fail "fewer than two sg nodes to discover"
}

# seslist through the real sysfs and sg driver: the TCMU enclosure is listed with the identity
# its model gives and the revision it runs; scsi_debug, a disk by now, only with --all.
case_seslist_tcmu() {
    run seslist --json
    expect_status 0
    revision=$(show_value "$KERNEL_ENCLOSURE" revision)
    for line in "\"path\": \"$ENCLOSURE\"," "\"enclosure\": true," "\"vendor\": \"SESIM\"," \
        "\"revision\": \"$revision\"," "\"serial\": \"SIM0000001\"," "\"download_status\": \"idle\","; do
        grep -qF "      $line" "$OUT" || { fail "seslist --json lacks $line"; show_run; }
    done
    grep -q '"identifier": "naa\.5[0-9a-f]\{15\}",' "$OUT" || { fail "seslist --json shows no NAA identifier"; show_run; }
    [ "$(grep -c '"path"' "$OUT")" -eq 1 ] || { fail "seslist lists more than the enclosure"; show_run; }
    # fwpush's audit records take the serial number from the kernel's copy of the page.
    node=$(cat "/sys/class/scsi_generic/${ENCLOSURE#/dev/}/dev")
    grep -q SIM0000001 "/sys/dev/char/$node/device/vpd_pg80" || fail "no serial number in /sys/dev/char/$node/device/vpd_pg80"
    run seslist --all
    expect_status 0
    grep -q "^$SCSI_DEBUG .*not an enclosure (type 0x00)\$" "$OUT" || { fail "seslist --all does not show the disk"; show_run; }
}

# The kernel's ses driver is the judge of the element inventory: it binds to the enclosure,
# registers it with the configured number of components under the names sesim shows, and keeps
# it registered across a firmware download and the hard reset that activates it.
ses_enclosure_dir() {
    for e in /sys/class/enclosure/*; do
        [ -e "$e/device" ] || continue
        [ "$(cat "$e/device/model" 2>/dev/null | sed 's/ *$//')" = "SIM ENCLOSURE" ] && { echo "$e"; return 0; }
    done
    return 1
}

check_ses_view() {
    dir=$(ses_enclosure_dir) || { fail "$1: the enclosure is not under /sys/class/enclosure"; ls -l /sys/class/enclosure >/tmp/ls.out 2>&1; show_file enclosures /tmp/ls.out; return 1; }
    expect_value "$1: components" "$(cat "$dir/components")" "$(show_value "$KERNEL_ENCLOSURE" "array device slots")"
    ls "$dir" | grep '^Slot ' | tr '\n' ',' | sed 's/,$//; s/,/, /g' >/tmp/names.kernel
    expect_value "$1: component names" "$(cat /tmp/names.kernel)" "$(show_value "$KERNEL_ENCLOSURE" "slot names")"
    [ -z "$2" ] || expect_value "$1: revision" "$(cat "$dir/device/rev")" "$(show_value "$KERNEL_ENCLOSURE" "revision")"
}

expect_value() {
    [ "$2" = "$3" ] || fail "$1 is '$2', sesim show says '$3'"
}

case_ses_judgement() {
    # The driver's page reads must not meet a unit attention that it does not retry (3F/01).
    for i in 1 2 3 4; do sg_turs "$ENCLOSURE" >/dev/null 2>&1; done
    step insmod /lib/modules/enclosure.ko && step insmod /lib/modules/ses.ko || return
    wait_until ses_enclosure_dir >/dev/null
    check_ses_view "after binding" || return
    make_image 0600 10000
    run fwpush -d "$ENCLOSURE" /tmp/image.0600
    expect_status 0
    run bufterm "$ENCLOSURE" reset
    expect_status 0
    for i in 1 2 3 4; do sg_turs "$ENCLOSURE" >/dev/null 2>&1; done
    expect_show "revision" "0600"
    check_ses_view "after the reset" || return
    # The kernel keeps the INQUIRY data of its scan: the new revision shows once the device is
    # scanned again, and the driver binds to it afresh.
    device=$(readlink -f "$(ses_enclosure_dir)/device")
    host=$(echo "$device" | sed -n 's,.*/\(host[0-9]*\)/.*,\1,p')
    echo 1 >"$device/delete"
    echo "- - -" >"/sys/class/scsi_host/$host/scan"
    wait_until ses_enclosure_dir >/dev/null
    check_ses_view "after a new scan" revision
}

lane_run() {
    for name in $(sed -n 's/^case_\([A-Za-z0-9_]*\)().*/\1/p' /lane/cases.sh); do lane_case "$name"; done
    lane_end
}

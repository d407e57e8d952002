# The guest cases, in the order they run. Each case_NAME function becomes the CTest test
# kernel.NAME; lane_run at the end decides the order.

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
        insmod "/lib/modules/$module.ko" 2>/tmp/insmod.err || {
            fail "insmod $module failed"
            show_file insmod /tmp/insmod.err
        }
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
    if ! insmod /lib/modules/scsi_debug.ko "ptype=$1" 2>/tmp/insmod.err; then
        fail "insmod scsi_debug ptype=$1 failed"
        show_file insmod /tmp/insmod.err
        return 1
    fi
    wait_until sg_node_of scsi_debug || { fail "no sg node for scsi_debug"; return 1; }
    SCSI_DEBUG=$SG_NODE
    SCSI_DEBUG_TYPE=$1
}

# Any bytes do as an image for a device that refuses before the download starts.
ANY_IMAGE=/tmp/any.img
make_any_image() {
    [ -e "$ANY_IMAGE" ] || head -c 10000 /dev/zero >"$ANY_IMAGE"
}

# The INQUIRY shows an enclosure, but bufterm's start-up probe is a READ BUFFER, which
# scsi_debug rejects as an invalid opcode.
case_bufterm_scsi_debug_enclosure() {
    use_scsi_debug 13 || return
    run bufterm "$SCSI_DEBUG" rev
    expect_status 1
    expect_err <<END
Send failed: Sense 02,05,20,00
SCSI target device does not support BUFTERM
END
}

case_fwpush_refuses_disk() {
    use_scsi_debug 0 || return
    make_any_image
    run fwpush "$SCSI_DEBUG" "$ANY_IMAGE"
    expect_status 1
    expect_out_line "Vendor                : Linux   "
    expect_out_line "Product               : scsi_debug      "
    expect_err <<END
Device $SCSI_DEBUG is not an enclosure services device
END
}

# The INQUIRY shows a disk: no console command (WRITE BUFFER mode 01h, vendor specific) reaches it.
case_bufterm_refuses_disk() {
    use_scsi_debug 0 || return
    run bufterm "$SCSI_DEBUG" rev
    expect_status 1
    expect_err <<END
Device $SCSI_DEBUG is not an enclosure services device
END
}

# Runs first on a fresh enclosure-type scsi_debug, whose unit attention INQUIRY leaves pending:
# one TEST UNIT READY clears it; the device then rejects RECEIVE DIAGNOSTIC RESULTS as an invalid
# operation code. A new scsi_debug device reports POWER ON
# OCCURRED (29/01); 29/00 (power on, reset or bus device reset) is what it reports after a reset.
case_fwpush_scsi_debug_enclosure() {
    use_scsi_debug 13 || return
    make_any_image
    run fwpush "$SCSI_DEBUG" "$ANY_IMAGE"
    expect_status 1
    expect_out_line "Device supports SES"
    expect_out_line "Checking for SES Page 0xE support"
    expect_err <<END
TEST_UNIT_READY failed: Sense 02,06,29,01
RCV_DIAG_RESULT failed: Sense 02,05,20,00
Send failed status 4
END
}

# Creates the TCMU backstore $1, starts the handler on its uio device with the arguments that
# follow, and links it to a loopback target; the sg node lands in $ENCLOSURE.
attach_tcmu() {
    name=$1
    shift
    ENCLOSURE=
    store=$TCMU_BACKSTORE/$name
    mkdir -p "$store" || { fail "cannot create backstore $name"; return 1; }
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
    if ! wait_until [ -e /tmp/handler.ready ]; then
        fail "the handler did not start"
        show_file handler /tmp/handler.log
        return 1
    fi
    lun=$LOOPBACK/$TARGET_WWN/tpgt_1/lun/lun_0
    mkdir -p "$lun" || { fail "cannot create the loopback LUN"; return 1; }
    echo "$INITIATOR_WWN" >"$LOOPBACK/$TARGET_WWN/tpgt_1/nexus"
    ln -s "$store" "$lun/$name" || { fail "cannot link backstore $name"; return 1; }
    if ! wait_until sg_node_of tcm_loopback; then
        fail "no sg node for the loopback target"
        show_file handler /tmp/handler.log
        dmesg | tail -20 >/tmp/dmesg.tail
        show_file dmesg /tmp/dmesg.tail
        return 1
    fi
    ENCLOSURE=$SG_NODE
}

# The enclosure attached through the kernel (TCMU behind tcm_loop, reached as /dev/sgN) and its
# twin attached through the preload library (/dev/sesim0) start alike and get the same programs;
# every run must give the same exit status, output and commands at the device on both.
KERNEL_ENCLOSURE=/tmp/enclosure.kernel
PRELOAD_ENCLOSURE=/tmp/enclosure.preload
PRELOAD_DEVICE=/dev/sesim0
KERNEL_OUT=/tmp/kernel.out
KERNEL_ERR=/tmp/kernel.err

# Runs the command with every argument @DEV@ replaced by the device $1.
run_at() {
    device=$1
    shift
    count=$#
    while [ "$count" -gt 0 ]; do
        arg=$1
        shift
        [ "$arg" = @DEV@ ] && arg=$device
        set -- "$@" "$arg"
        count=$((count - 1))
    done
    run "$@"
}

log_lines() {
    if [ -e "$1/commands.log" ]; then wc -l <"$1/commands.log"; else echo 0; fi
}

# Runs one program line on both attachments and compares them; the kernel side's result stays
# in $OUT, $ERR and $STATUS for further checks.
both() {
    if ! kill -0 "$HANDLER_PID" 2>/dev/null; then
        fail "sesim-tcmu is not running"
        show_file handler /tmp/handler.log
        return
    fi
    kernel_mark=$(log_lines "$KERNEL_ENCLOSURE")
    preload_mark=$(log_lines "$PRELOAD_ENCLOSURE")
    run_at "$PRELOAD_DEVICE" sesim run "$PRELOAD_ENCLOSURE" -- "$@"
    preload_status=$STATUS
    mv "$OUT" /tmp/preload.out
    mv "$ERR" /tmp/preload.err
    run_at "$ENCLOSURE" "$@"
    # The device path is the one thing that may differ.
    sed "s,$ENCLOSURE,$PRELOAD_DEVICE,g" "$OUT" >"$KERNEL_OUT"
    sed "s,$ENCLOSURE,$PRELOAD_DEVICE,g" "$ERR" >"$KERNEL_ERR"
    if [ "$STATUS" -ne "$preload_status" ]; then
        fail "$1: exit status $STATUS through the kernel, $preload_status through the preload library"
    fi
    if ! diff /tmp/preload.out "$KERNEL_OUT" >/tmp/diff; then
        fail "$1: standard output differs between the preload library (-) and the kernel (+)"
        show_file diff /tmp/diff
    fi
    if ! diff /tmp/preload.err "$KERNEL_ERR" >/tmp/diff; then
        fail "$1: standard error differs between the preload library (-) and the kernel (+)"
        show_file diff /tmp/diff
    fi
    tail -n +$((preload_mark + 1)) "$PRELOAD_ENCLOSURE/commands.log" >/tmp/preload.log
    tail -n +$((kernel_mark + 1)) "$KERNEL_ENCLOSURE/commands.log" >/tmp/kernel.log
    if ! diff /tmp/preload.log /tmp/kernel.log >/tmp/diff; then
        fail "$1: the commands at the device differ between the preload library (-) and the kernel (+)"
        show_file diff /tmp/diff
    fi
}

# Runs a sesim command on both enclosures.
sesim_both() {
    command=$1
    shift
    for dir in "$KERNEL_ENCLOSURE" "$PRELOAD_ENCLOSURE"; do
        sesim "$command" "$dir" "$@" >/tmp/sesim.out 2>&1 || {
            fail "sesim $command $dir $* failed"
            show_file sesim /tmp/sesim.out
        }
    done
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
    sesim mkimage --revision "$1" --size "$2" "/tmp/image.$1" >/tmp/sesim.out 2>&1 || {
        fail "sesim mkimage --revision $1 failed"
        show_file sesim /tmp/sesim.out
    }
}

# The handler serves the enclosure before the LUN exists; the midlayer's scan then reaches the
# model (shown in the notes), which must leave the power-on unit attention pending.
case_tcmu_attach() {
    rm -rf "$KERNEL_ENCLOSURE" "$PRELOAD_ENCLOSURE"
    for dir in "$KERNEL_ENCLOSURE" "$PRELOAD_ENCLOSURE"; do
        sesim init "$dir" >/tmp/sesim.out 2>&1 || { fail "sesim init $dir failed"; show_file sesim /tmp/sesim.out; return; }
    done
    attach_tcmu enclosure sesim-tcmu "$KERNEL_ENCLOSURE" || return
    show_file scan "$KERNEL_ENCLOSURE/commands.log"
    grep -q ' op=12 ' "$KERNEL_ENCLOSURE/commands.log" || fail "the scan's INQUIRY did not reach the handler"
    expect_show "unit attention" "29/00"
    # Both enclosures count commands from here.
    sesim_both fault --clear
}

case_fwpush_tcmu_download() {
    make_image 0200 10000
    both fwpush @DEV@ /tmp/image.0200
    expect_status 0
    expect_out_line "Download complete"
    expect_err <<END
TEST_UNIT_READY failed: Sense 02,06,29,00
END
    expect_show "revision" "0200"
}

# The independent check: sg3-utils see the new firmware and read the download status page.
case_sg3utils_tcmu() {
    both sg_inq @DEV@
    expect_status 0
    expect_out_line " Vendor identification: SESIM   "
    expect_out_line " Product revision level: 0200"
    # The activation left MICROCODE HAS BEEN CHANGED pending.
    both sg_turs @DEV@
    expect_status 6
    both sg_ses --page=0xe @DEV@
    expect_status 0
    grep -qi "download microcode status" "$OUT" || { fail "sg_ses shows no download microcode status page"; show_run; }
}

# BUSY from the device: the midlayer queues the command again by itself, and the caller sees
# only the retry's GOOD status.
case_tcmu_busy_retried() {
    sesim fault "$KERNEL_ENCLOSURE" "status@op=00,value=08,count=2" >/tmp/sesim.out 2>&1 || fail "sesim fault failed"
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
    expect_out_line "Download complete"
    expect_show "revision" "0400"
    expect_show "deferred image" "revision 0300 *"
    both fwpush -A @DEV@
    expect_status 0
    expect_out_line "Sending activation request"
    expect_show "revision" "0300"
    both sg_inq @DEV@
    expect_out_line " Product revision level: 0300"
}

# A CHECK CONDITION on the second data page: fwpush reads the status page, sees the enclosure
# still waiting for that block and sends it again.
case_fwpush_tcmu_resend() {
    make_image 0400 10000
    sesim_both fault "check@block=2"
    both fwpush @DEV@ /tmp/image.0400
    expect_status 0
    expect_err <<END
SEND_DIAG failed: Sense 02,04,44,00
Send failed status 4
Failed to send Page E Control Request, block 1, status 4, offset 4072
Retrying block 1
END
    expect_out_line "Download complete"
    expect_show "revision" "0400"
    sesim_both fault --clear
    # Leave no unit attention pending for the cases that follow.
    both sg_turs @DEV@
}

case_bufterm_tcmu_rev() {
    both bufterm @DEV@ rev
    expect_status 0
    expect_out <<END

revision 0400
END
}

# A command whose output takes many READ BUFFER responses, each flagged pending but the last.
case_bufterm_tcmu_multi() {
    both bufterm @DEV@ "log 100"
    expect_status 0
    expect_out_line "event 1 of 100: all elements OK"
    expect_out_line "event 100 of 100: all elements OK"
    [ "$(grep -c '^event ' "$OUT")" -eq 100 ] || fail "not 100 event lines"
    reads=$(grep -c ' op=3c ' /tmp/kernel.log)
    [ "$reads" -ge 8 ] || fail "only $reads READ BUFFER commands for 100 lines of output"
}

# A CHECK CONDITION that comes without sense data: the kernel's error handler asks the device
# with a REQUEST SENSE of its own before the caller sees the command end. The preload library
# hands the bare status to the caller, so this case looks at the kernel side alone.
case_tcmu_sense_fetch() {
    sesim fault "$KERNEL_ENCLOSURE" "check-nosense@op=00" >/tmp/sesim.out 2>&1 || fail "sesim fault failed"
    run sg_raw -v "$ENCLOSURE" 00 00 00 00 00 00
    tail -n 2 "$KERNEL_ENCLOSURE/commands.log" >/tmp/kernel.log
    show_file log /tmp/kernel.log
    grep -q '^1 op=00 .* fault=check-nosense ' /tmp/kernel.log || fail "the TEST UNIT READY did not fail without sense"
    grep -q '^2 op=03 cdb=030000006000 ' /tmp/kernel.log || fail "no REQUEST SENSE from the kernel after the bare CHECK CONDITION"
    # The caller gets the status with the sense that the kernel's REQUEST SENSE brought back.
    expect_err_line "SCSI Status: Check Condition "
    expect_err_line "Fixed format, current; Sense key: No Sense"
    sesim_both fault --clear
}

case_discovery() {
    run discover_sg
    expect_status 0
    ls /sys/class/scsi_generic | sed 's,^,/dev/,' | sort >/tmp/sysfs.list
    sort "$OUT" >/tmp/discovered.list
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
    for module in enclosure ses; do
        insmod "/lib/modules/$module.ko" 2>/tmp/insmod.err || { fail "insmod $module failed"; show_file insmod /tmp/insmod.err; return; }
    done
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
    lane_case modules
    lane_case fwpush_scsi_debug_enclosure
    lane_case bufterm_scsi_debug_enclosure
    lane_case fwpush_refuses_disk
    lane_case bufterm_refuses_disk
    lane_case tcmu_attach
    lane_case fwpush_tcmu_download
    lane_case sg3utils_tcmu
    lane_case fwpush_tcmu_resend
    lane_case bufterm_tcmu_rev
    lane_case bufterm_tcmu_multi
    lane_case tcmu_sense_fetch
    lane_case tcmu_busy_retried
    lane_case fwpush_tcmu_deferred
    lane_case discovery
    lane_case seslist_tcmu
    lane_case ses_judgement
    lane_end
}

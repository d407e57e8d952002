# The guest cases, in the order they run. Each case_NAME function becomes the CTest test
# kernel.NAME; lane_run at the end decides the order.

CONFIGFS=/sys/kernel/config
TCMU_BACKSTORE=$CONFIGFS/target/core/user_0
LOOPBACK=$CONFIGFS/target/loopback
# World wide names of the loopback target port and of the initiator port behind it.
TARGET_WWN=naa.5001405000000001
INITIATOR_WWN=naa.5001405000000002
# How long a device may take to appear, in tenths of a second.
APPEAR_TIMEOUT=100

case_modules() {
    # The target core asks for its other backends by module name; there is nothing to load, and
    # the real loader's absence would cost a failed helper start per request.
    echo /bin/true >/proc/sys/kernel/modprobe
    for module in $(cat /lib/modules/load-order); do
        # scsi_debug is loaded by the cases that need it, with the device type they need.
        [ "$module" = scsi_debug ] && continue
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
    tries=$APPEAR_TIMEOUT
    until SCSI_DEBUG=$(sg_of_driver scsi_debug) && [ -e "$SCSI_DEBUG" ]; do
        if [ "$tries" -le 0 ]; then
            fail "no sg node for scsi_debug"
            return 1
        fi
        tries=$((tries - 1))
        usleep 100000
    done
    SCSI_DEBUG_TYPE=$1
}

# Any bytes do as an image for a device that refuses before the download starts.
ANY_IMAGE=/tmp/any.img
make_any_image() {
    [ -e "$ANY_IMAGE" ] || head -c 10000 /dev/zero >"$ANY_IMAGE"
}

case_sg3utils_scsi_debug_disk() {
    use_scsi_debug 0 || return
    run sg_inq "$SCSI_DEBUG"
    expect_status 0
    expect_out_line " Vendor identification: Linux   "
    if ! grep -q "Peripheral device type: disk" "$OUT"; then
        fail "sg_inq does not show a disk"
        show_run
    fi
    # The device's power-on unit attention reaches the first TEST UNIT READY, then it is ready.
    run sg_turs "$SCSI_DEBUG"
    expect_status 6
    run sg_turs "$SCSI_DEBUG"
    expect_status 0
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

# Runs first on a fresh enclosure-type scsi_debug: INQUIRY leaves its unit attention pending.
case_sg3utils_scsi_debug_enclosure() {
    use_scsi_debug 13 || return
    run sg_inq "$SCSI_DEBUG"
    expect_status 0
    if ! grep -q "Peripheral device type: enclosure services device" "$OUT"; then
        fail "sg_inq does not show an enclosure"
        show_run
    fi
}

# The real unit attention is cleared by one TEST UNIT READY; the device then rejects RECEIVE
# DIAGNOSTIC RESULTS as an invalid operation code. A new scsi_debug device reports POWER ON
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
    echo 1 >"$store/enable" || { fail "cannot enable backstore $name"; return 1; }
    uio=
    for dev in /sys/class/uio/uio*; do
        case $(cat "$dev/name") in
        tcm-user/*/"$name"/*) uio=/dev/${dev##*/} ;;
        esac
    done
    [ -n "$uio" ] || { fail "no uio device for backstore $name"; return 1; }
    wait_for "$uio" "$APPEAR_TIMEOUT" || { fail "$uio did not appear"; return 1; }
    rm -f /tmp/handler.ready
    # The handler must be serving before the LUN is linked: the scan's INQUIRY goes to it.
    "$@" --ready /tmp/handler.ready "$uio" >/tmp/handler.log 2>&1 &
    HANDLER_PID=$!
    if ! wait_for /tmp/handler.ready "$APPEAR_TIMEOUT"; then
        fail "the handler did not start"
        show_file handler /tmp/handler.log
        return 1
    fi
    lun=$LOOPBACK/$TARGET_WWN/tpgt_1/lun/lun_0
    mkdir -p "$lun" || { fail "cannot create the loopback LUN"; return 1; }
    echo "$INITIATOR_WWN" >"$LOOPBACK/$TARGET_WWN/tpgt_1/nexus"
    ln -s "$store" "$lun/$name" || { fail "cannot link backstore $name"; return 1; }
    tries=$APPEAR_TIMEOUT
    until ENCLOSURE=$(sg_of_driver tcm_loopback) && [ -e "$ENCLOSURE" ]; do
        if [ "$tries" -le 0 ]; then
            fail "no sg node for the loopback target"
            show_file handler /tmp/handler.log
            dmesg | tail -20 >/tmp/dmesg.tail
            show_file dmesg /tmp/dmesg.tail
            return 1
        fi
        tries=$((tries - 1))
        usleep 100000
    done
}

case_tcmu_stub() {
    attach_tcmu stub sesim-tcmu --stub || return
    run sg_inq "$ENCLOSURE"
    expect_status 0
    expect_out_line " Vendor identification: SESIM   "
    if ! grep -q "Peripheral device type: enclosure services device" "$OUT"; then
        fail "sg_inq does not show an enclosure"
        show_run
    fi
    run sg_turs "$ENCLOSURE"
    expect_status 0
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

lane_run() {
    lane_case modules
    lane_case sg3utils_scsi_debug_enclosure
    lane_case fwpush_scsi_debug_enclosure
    lane_case sg3utils_scsi_debug_disk
    lane_case fwpush_refuses_disk
    lane_case tcmu_stub
    lane_case discovery
    lane_end
}

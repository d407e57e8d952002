# Helpers for the guest cases. Each case is a shell function case_NAME; lane_case runs it and
# writes one verdict line to the result port (descriptor 3):
#   PASS NAME
#   FAIL NAME: first reason
# Detail lines for a failing case go before its verdict as "- NAME: text".
# The lane ends with "END passed failed".

CASE=
CASE_FAILED=
LANE_PASSED=0
LANE_FAILED=0
OUT=/tmp/case.out
ERR=/tmp/case.err
STATUS=0
PROGRAM_TIMEOUT=60
# How long a device may take to appear, in tenths of a second.
APPEAR_TIMEOUT=100

note() {
    printf -- '- %s: %s\n' "$CASE" "$*" >&3
}

# Records a failure; the first reason becomes the verdict's reason, later ones are notes.
fail() {
    [ -z "$CASE_FAILED" ] && CASE_FAILED="$*"
    note "$*"
}

# Guest uptime in hundredths of a second.
uptime_cs() {
    read -r up _ </proc/uptime
    echo "${up%.*}${up#*.}"
}

lane_case() {
    CASE=$1
    CASE_FAILED=
    started=$(uptime_cs)
    "case_$1"
    took=$(($(uptime_cs) - started))
    note "took $((took / 100)).$((took / 10 % 10))$((took % 10)) s"
    if [ -z "$CASE_FAILED" ]; then
        echo "PASS $1" >&3
        LANE_PASSED=$((LANE_PASSED + 1))
    else
        echo "FAIL $1: $CASE_FAILED" >&3
        LANE_FAILED=$((LANE_FAILED + 1))
    fi
}

lane_end() {
    CASE=lane
    note "guest uptime at the end $(cut -d' ' -f1 /proc/uptime) s"
    echo "END $LANE_PASSED $LANE_FAILED" >&3
    [ "$LANE_FAILED" -eq 0 ]
}

# Runs a program with its standard output and error captured in $OUT and $ERR and its exit
# status in $STATUS; a program that hangs is killed and counts as a failure of the case.
run() {
    timeout "$PROGRAM_TIMEOUT" "$@" >"$OUT" 2>"$ERR" </dev/null
    STATUS=$?
    if [ "$STATUS" -eq 143 ] || [ "$STATUS" -eq 137 ]; then
        fail "$1 did not finish within $PROGRAM_TIMEOUT s"
    fi
}

# Runs a command that prepares a case; when it fails, so does the case, with its output noted.
step() {
    "$@" >/tmp/step.out 2>&1 && return 0
    fail "$* failed"
    show_file step /tmp/step.out
    return 1
}

show_file() {
    while IFS= read -r line; do note "  $1| $line"; done <"$2"
}

show_run() {
    note "exit status $STATUS"
    show_file out "$OUT"
    show_file err "$ERR"
}

expect_status() {
    if [ "$STATUS" -ne "$1" ]; then
        fail "exit status $STATUS, expected $1"
        show_run
    fi
}

# expect_err compares the whole of standard error with the here-document on standard input.
expect_err() {
    cat >/tmp/expected
    if ! diff /tmp/expected "$ERR" >/tmp/diff; then
        fail "standard error differs from the expected text"
        show_file diff /tmp/diff
    fi
}

# expect_line out|err TEXT: the stream holds this exact line.
expect_line() {
    file=$OUT
    [ "$1" = err ] && file=$ERR
    if ! grep -qxF -- "$2" "$file"; then
        fail "no line '$2' on standard $1"
        show_file "$1" "$file"
    fi
}

# Runs the command until it succeeds, up to $APPEAR_TIMEOUT tenths of a second.
wait_until() {
    tries=$APPEAR_TIMEOUT
    until "$@"; do
        [ "$tries" -le 0 ] && return 1
        tries=$((tries - 1))
        usleep 100000
    done
}

# Sets SG_NODE to the sg node (/dev/sgN) of the first device on a SCSI host of the named driver;
# fails while there is none.
sg_node_of() {
    for sg in /sys/class/scsi_generic/sg*; do
        [ -e "$sg" ] || continue
        host=$(readlink -f "$sg/device" | sed -n 's,.*/\(host[0-9]*\)/.*,\1,p')
        if [ "$(cat /sys/class/scsi_host/$host/proc_name 2>/dev/null)" = "$1" ]; then
            SG_NODE=/dev/${sg##*/}
            [ -e "$SG_NODE" ]
            return
        fi
    done
    return 1
}

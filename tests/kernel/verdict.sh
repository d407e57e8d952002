#!/bin/sh
# Prints one guest case's lines from the lane's results and passes when its verdict is PASS.
results=$1
name=$2
if [ ! -r "$results" ]; then
    echo "no results file $results: the guest did not run"
    exit 1
fi
grep -e "^- $name: " -e "^PASS $name\$" -e "^FAIL $name: " "$results"
grep -qx "PASS $name" "$results" && exit 0
grep -q "^FAIL $name: " "$results" || echo "case $name did not report: the guest stopped before it"
exit 1

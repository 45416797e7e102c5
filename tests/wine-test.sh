#!/bin/sh
# Runs a QTest program under Wine and shows what it reported: under Wine its
# report to a pipe does not reach ctest, so it writes it to a file.
exe=$1
shift
log=$(mktemp)
wine "$exe" "$@" -o "$(winepath -w "$log"),txt"
code=$?
cat "$log"
rm -f "$log"
exit $code

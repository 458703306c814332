#!/bin/bash
# Runs one Windows test program under Wine for ctest. Its output goes through
# a file, not ctest's pipe: a Wine helper that inherits the output and
# outlives the program (a console host, say) would otherwise keep ctest
# waiting until its time limit although the program has ended. The test
# command ends every Wine process when it is done.
out=$(mktemp)
/usr/lib/wine/wine64 "$@" >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test:
# the native suites, the fuzzers briefly, the Windows suites under Wine and
# the fault suite in the real window.
source "$(dirname "$0")/lib.sh"

install_packages
build_native
build_windows

status=0
log "native tests"
# In a process namespace of their own where possible: their process listings
# and cleanups then see only the processes the tests started.
isolated=()
unshare --pid --fork --mount-proc --kill-child true 2>/dev/null && isolated=(unshare --pid --fork --mount-proc --kill-child)
(cd "$BUILD/native" && "${isolated[@]}" ctest -V -j 2 >"$LOGS/ctest-native.log" 2>&1) || status=1
show_ctest "$LOGS/ctest-native.log"
grep -q '100% tests passed' "$LOGS/ctest-native.log" || status=1

if [[ -x $ROOT/scripts/fuzz.sh ]]; then
  log "fuzzing briefly"
  "$ROOT/scripts/fuzz.sh" || status=1
fi

log "Windows tests under Wine"
trap stop_wine EXIT  # nothing of the run is left behind, on failure too
setup_wine
(cd "$BUILD/win" && ctest -V >"$LOGS/ctest-win.log" 2>&1) || status=1
show_ctest "$LOGS/ctest-win.log"
grep -q '100% tests passed' "$LOGS/ctest-win.log" || status=1

log "metrics under Wine, scraped by Prometheus"
bash "$ROOT/tests/metrics/run.sh" >"$LOGS/metrics.log" 2>&1 || status=1
cat "$LOGS/metrics.log"

log "faults in the real program under Wine"
bash "$ROOT/tests/faults/run.sh" >"$LOGS/faults.log" 2>&1 || status=1
grep -v '^fault-suite' "$LOGS/faults.log" || true

log "summary"
python3 "$ROOT/scripts/summary.py" "$LOGS/ctest-native.log" "$LOGS/ctest-win.log" "$LOGS/metrics.log" "$LOGS/faults.log" || status=1
log "finished with status $status"
exit $status

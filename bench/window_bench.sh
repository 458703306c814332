#!/usr/bin/env bash
# The real program under Wine, measured next to a bare Win32 window in the
# same run: start-up, a realistic miner for a while (default 10 minutes),
# floods of logged and unlogged miner lines (default 300,000 each), and
# Scan Now over 100,000 plot files in 20 folders against a bare
# FindFirstFileExW walk. Not part of the test command.
#   bash bench/window_bench.sh [minutes] [flood lines]
# PARTS picks the figures (default realistic,flood,index); "quiet" adds a run
# beside a silent miner, "metrics" that run again with the metrics listener
# on and scraped every second, e.g.
#   PARTS=realistic,metrics bash bench/window_bench.sh 3
# With BEFORE=<an older vorn_miner_gui.exe> the same figures are measured
# for that program first, in the same run.
source "$(dirname "$0")/../scripts/lib.sh"
MINUTES=${1:-10}
LINES=${2:-300000}
install_packages
build_windows
quiet make-win-benches cmake --build "$BUILD/win" --target benches -j "$(nproc)"
setup_wine "$BUILD/wine-bench"
trap stop_wine EXIT
DIR=$BUILD/window-bench
mkdir -p "$DIR/plots"
cp "$BUILD/win/vorn_miner_gui.exe" "$BUILD/win/bench/bare_window.exe" "$DIR/"
cp "$BUILD/win/sim/vorn_miner.exe" "$DIR/vorn_miner.exe"
for i in 1 2 3; do printf 'plot %s' "$i" >"$DIR/plots/bench_${i}_X2.vorn"; done
python3 - "$DIR/many" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(20):
    folder = os.path.join(root, "%02d" % d)
    os.makedirs(folder, exist_ok=True)
    if len(os.listdir(folder)) == 5000:
        continue
    for f in range(5000):  # sparse files: sizes without the disk space
        with open(os.path.join(folder, "plot_%02d_%04d_X2.vorn" % (d, f)), "wb") as out:
            out.truncate((1 + f % 7) << 30)
PY
measure() {
  "$WINE" "$BUILD/win/bench/window_bench.exe" "Z:${1//\//\\}" "$MINUTES" "$LINES" "${PARTS:-realistic,flood,index}"
}
{
  if [[ -n ${BEFORE:-} ]]; then
    mkdir -p "$DIR-before"
    cp -r "$DIR/plots" "$DIR/bare_window.exe" "$DIR/vorn_miner.exe" "$DIR-before/"
    cp "$BEFORE" "$DIR-before/vorn_miner_gui.exe"
    ln -sfn "$DIR/many" "$DIR-before/many"
    echo "== before: $BEFORE"
    measure "$DIR-before" || echo "(a figure of the program before failed)"
    echo "== now"
  fi
  measure "$DIR"
} | tee "$LOGS/window_bench.log"

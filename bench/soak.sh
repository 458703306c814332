#!/usr/bin/env bash
# Soak: the real program under Wine for a while (default 30 minutes) with the
# simulated miner in 3-second rounds, plot files added, grown and removed
# every three minutes, a rescan every minute, a restart every seven minutes
# (none while a crash's pause may run) and a miner crash every eleven, from
# minute 3.5 on. Every minute the driver samples what Windows reports of the
# program (working set, private bytes, handles, GDI and USER objects,
# threads; Wine gives only some of them) and this script samples what Linux
# sees of its process (resident size, threads, open file descriptors); each
# prints the growth per hour against minutes 2 to 4 (from 8 minutes on).
# At the end the driver reads the program's log file beside it: each crash
# must be noticed and the miner started again after the pause the program's
# count of ends within 30 minutes gives (10, 20, 40, 80 s; the fifth end
# gives up).
# Not part of the test command.   bash bench/soak.sh [minutes]
source "$(dirname "$0")/../scripts/lib.sh"
MINUTES=${1:-30}
install_packages
build_windows
setup_wine "$BUILD/wine-soak"
DIR=$BUILD/soak
rm -rf "$DIR"
mkdir -p "$DIR/plots"
cp "$BUILD/win/vorn_miner_gui.exe" "$BUILD/win/sim/vorn_miner.exe" "$DIR/"
for i in 1 2 3; do printf 'plot %s' "$i" >"$DIR/plots/soak_base_${i}_X2.vorn"; done
plots="Z:${DIR//\//\\}\\plots"
printf '{"miner_name": "soak", "plot_dirs": ["%s"], "plot_rescan_interval_secs": 60, "auto_detect_new_plots": true}' \
  "${plots//\\/\\\\}" >"$DIR/vorn_miner_gui_mainnet_settings.json"

sampler() {  # minute, resident KB, threads and descriptors of the program's Linux process
  set +e
  local pid="" start=$SECONDS
  for _ in $(seq 600); do pid=$(pgrep -f 'soak.vorn_miner_gui\.exe' | head -n 1); [[ -n $pid ]] && break; sleep 0.1; done
  while [[ -n $pid && -d /proc/$pid ]]; do
    awk -v m="$(( (SECONDS - start) / 60 ))" -v fds="$(ls /proc/$pid/fd 2>/dev/null | wc -l)" \
      '/^VmRSS:/ {rss=$2} /^Threads:/ {t=$2} END {print m, rss, t, fds}' "/proc/$pid/status"
    sleep 60
  done
}
sampler >"$LOGS/soak-linux.log" &
SAMPLER=$!
trap 'kill $SAMPLER 2>/dev/null; stop_wine' EXIT

set +e
VORN_SIM_ROUND_MS=3000 "$WINE" "$BUILD/win/tools/win_driver.exe" soak "$DIR" "$MINUTES" | tee "$LOGS/soak.log"
status=${PIPESTATUS[0]}
python3 - "$LOGS/soak-linux.log" <<'PY'
import sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1]) if len(line.split()) == 4]
if len(rows) < 8:
    sys.exit(0)
first, last = rows[2:5], rows[-3:]
mean = lambda rs, i: sum(r[i] for r in rs) / len(rs)
hours = (mean(last, 0) - mean(first, 0)) / 60
print("\nLinux view of the program's process, growth per hour against minutes 2-4:")
for i, name, scale in ((1, "resident MB", 1024), (2, "threads", 1), (3, "descriptors", 1)):
    a, b = mean(first, i) / scale, mean(last, i) / scale
    print(f"  {name:15} {a:10.2f} -> {b:10.2f}   {(b - a) / hours:+9.2f} per hour")
PY
exit "$status"

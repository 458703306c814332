#!/usr/bin/env bash
# The metrics of the real program under Wine, scraped by a real Prometheus:
# Debian's prometheus on a loopback port scrapes the program every second
# (with the token), the simulated miner runs quick rounds, and the driver
# (win_driver metrics) checks the listener, the textfile, the reload and
# what Prometheus stored against what the window shows.
# Needs the Windows build, the Wine prefix with the stand-ins, and prometheus.
source "$(dirname "$0")/../../scripts/lib.sh"
set +e

DIR=$BUILD/metrics-e2e
DRIVER=$BUILD/win/tools/win_driver.exe
OUT=$LOGS/metrics-e2e.log
PROM_PID=""

cleanup() {
  if [[ -n $PROM_PID ]]; then kill "$PROM_PID" 2>/dev/null; wait "$PROM_PID" 2>/dev/null; fi
  stop_wine
}
trap cleanup EXIT

if ! command -v prometheus >/dev/null; then echo "metrics-e2e: FAILED (prometheus is not installed)"; exit 1; fi

# Free loopback ports: the program's, the next one, one the driver holds, Prometheus's.
read -r PORT NEXT TAKEN PROM_PORT < <(python3 -c '
import socket
ss = [socket.socket() for _ in range(4)]
for s in ss: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in ss])')
TOKEN=tok-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')

rm -rf "$DIR"
mkdir -p "$DIR/plots" "$DIR/textfile" "$DIR/prometheus/data"
cp "$BUILD/win/vorn_miner_gui.exe" "$DIR/"
cp "$BUILD/win/sim/vorn_miner.exe" "$DIR/"
for n in 1 2 3; do truncate -s 1M "$DIR/plots/metrics_$n.vorn"; done
win() { local p="Z:$1"; p=${p//\//\\}; echo "${p//\\/\\\\}"; }
printf '{"miner_name": "metrics rig", "plot_dirs": ["%s"], "plot_rescan_interval_secs": 3600}' "$(win "$DIR/plots")" \
  >"$DIR/vorn_miner_gui_mainnet_settings.json"
printf '{\n  "rig_name": "wine rig",\n  "metrics_listen": "127.0.0.1:%s",\n  "metrics_token": "%s",\n  "metrics_textfile": "%s"\n}\n' \
  "$PORT" "$TOKEN" "$(win "$DIR/textfile/vorn.prom")" >"$DIR/vorn_miner_gui_mainnet_options.json"

cat >"$DIR/prometheus/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: vorn
    authorization:
      credentials: $TOKEN
    static_configs:
      - targets: ["127.0.0.1:$PORT"]
YAML
prometheus --config.file="$DIR/prometheus/prometheus.yml" --storage.tsdb.path="$DIR/prometheus/data" \
  --web.listen-address="127.0.0.1:$PROM_PORT" >"$LOGS/metrics-prometheus.log" 2>&1 &
PROM_PID=$!
for _ in $(seq 100); do curl -sf "http://127.0.0.1:$PROM_PORT/-/ready" >/dev/null && break; sleep 0.2; done

setup_wine >/dev/null
start=$SECONDS
VORN_SIM_ROUND_MS=1000 "$WINE" "$DRIVER" metrics "$DIR" "$PORT" "$NEXT" "$TAKEN" "$PROM_PORT" "$TOKEN" >"$OUT" 2>&1
rc=$?
grep -E '^(ok|FAIL)' "$OUT" | sed 's/^/  /'
if ((rc == 0)); then
  echo "metrics-e2e: ok ($((SECONDS - start)) s)"
else
  echo "metrics-e2e: FAILED ($((SECONDS - start)) s, log: $OUT)"
fi
exit $rc

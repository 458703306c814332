#!/usr/bin/env bash
# Installs what is missing, builds the Windows program and runs it under Wine
# with a demo set-up: a plot folder with a few sparse .vorn files and the
# simulated miner beside the program as vorn_miner.exe. Shows it on $DISPLAY
# when set, else on a virtual display, and saves a screenshot.
source "$(dirname "$0")/lib.sh"

install_packages
build_windows

DEMO=$BUILD/demo
mkdir -p "$DEMO/plots"
cp "$BUILD/win/vorn_miner_gui.exe" "$DEMO/"
cp "$BUILD/win/sim/vorn_miner.exe" "$DEMO/vorn_miner.exe"
for i in 1 2 3; do
  [[ -f $DEMO/plots/demo_X1_$i.vorn ]] || truncate -s 100G "$DEMO/plots/demo_X1_$i.vorn"
done
winpath() { printf 'Z:%s' "${1//\//\\\\}"; }
if [[ ! -f $DEMO/vorn_miner_gui_mainnet_settings.json ]]; then
  printf '{\n  "miner_name": "Demo rig",\n  "plot_dirs": [\n    "%s"\n  ],\n  "plot_rescan_interval_secs": 3600\n}' \
    "$(winpath "$DEMO/plots")" > "$DEMO/vorn_miner_gui_mainnet_settings.json"
fi

own_display=0
[[ -z ${DISPLAY:-} ]] && own_display=1
# The demo runs in a prefix of its own: the test prefix holds test stand-ins.
export WINEPREFIX=$BUILD/wine-demo WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
start_display
trap stop_wine EXIT  # the display and Wine processes started here end with it, on failure too
if [[ ! -f $WINEPREFIX/.vorn-ready ]]; then
  log "preparing the demo Wine prefix"
  quiet wineboot-demo "$WINE" wineboot --init
  /usr/lib/wine/wineserver64 -w || true
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  quiet demo-reg1 "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
  quiet demo-reg2 "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' /v "Segoe UI" /d Tahoma /f
  quiet demo-winecfg "$WINE" winecfg /v win10
  touch "$WINEPREFIX/.vorn-ready"
fi

log "starting the program on display $DISPLAY"
(cd "$DEMO" && "$WINE" ./vorn_miner_gui.exe >"$LOGS/demo.log" 2>&1) &
sleep 12
shot=$BUILD/screenshot.png
# The window with a margin round it (it sits at (100, 60) where it fits).
import -window root -crop 1226x930+90+50 +repage "$shot" 2>/dev/null && log "screenshot saved to $shot"
if ((own_display)); then
  log "no display of yours to show it on: ending the demo"
  stop_wine
else
  log "the program runs until you close its window"
  wait
fi

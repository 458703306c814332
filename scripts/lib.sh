# Shared by the set-up scripts: package installation, builds and the Wine
# environment. Source it; every function is idempotent and quiet.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
LOGS=$BUILD/logs
mkdir -p "$LOGS"
WINE=/usr/lib/wine/wine64

PACKAGES=(cmake make g++ clang libclang-rt-14-dev libyaml-dev nlohmann-json3-dev googletest
  libgtest-dev dpkg-dev g++-mingw-w64-x86-64-posix wine64 xvfb fonts-wine imagemagick xdotool
  x11-utils procps python3 python3-fusepy fuse3 libfuse2 libcurl4-openssl-dev libcpp-httplib-dev prometheus cmark-gfm)

log() { printf '== %s (at %d s)\n' "$*" "$SECONDS"; }

# Runs a command with its output in a log file; shows the log when it fails.
quiet() {
  local name=$1; shift
  if ! "$@" >"$LOGS/$name.log" 2>&1; then
    echo "FAILED: $* (log: $LOGS/$name.log)"; tail -n 60 "$LOGS/$name.log"; return 1
  fi
}

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    quiet apt-update apt-get update
    quiet apt-install apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

# Unpacks Debian's source package $1 into $BUILD/deps/src (once), enabling
# Debian's source lists first when they are not.
fetch_debian_source() {
  local package=$1 src=$BUILD/deps/src
  mkdir -p "$src"
  ls -d "$src/$package"-*/ >/dev/null 2>&1 && return 0
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/debian-src.sources
    quiet apt-update-src apt-get update
  fi
  (cd "$src" && quiet "$package-source" apt-get source --download-only "$package" && \
    quiet "$package-unpack" dpkg-source -x "$package"_*.dsc)
}

# libyaml for Windows, compiled from Debian's source package into the build folder.
build_libyaml_windows() {
  local out=$BUILD/deps/libyaml-win
  [[ -f $out/lib/libyaml.a ]] && return 0
  log "building libyaml for Windows"
  local src=$BUILD/deps/src
  mkdir -p "$out/lib" "$out/include"
  fetch_debian_source libyaml
  local dir; dir=$(ls -d "$src"/libyaml-*/ | head -n 1)
  local objs=()
  for c in "$dir"src/*.c; do
    local o=$out/lib/$(basename "${c%.c}").o
    x86_64-w64-mingw32-gcc-posix -O2 -c "$c" -o "$o" -I"$dir"include -I"$dir"src \
      -DYAML_DECLARE_STATIC -DYAML_VERSION_MAJOR=0 -DYAML_VERSION_MINOR=2 \
      -DYAML_VERSION_PATCH=5 -DYAML_VERSION_STRING='"0.2.5"'
    objs+=("$o")
  done
  x86_64-w64-mingw32-ar rcs "$out/lib/libyaml.a" "${objs[@]}"
  cp "$dir"include/yaml.h "$out/include/"
}

# cpp-httplib for Windows: Debian installs it split into declarations and a
# Linux library; the Windows build takes the original single header from the
# source package instead.
fetch_httplib_windows() {
  local out=$BUILD/deps/httplib-win
  [[ -f $out/include/httplib.h ]] && return 0
  log "fetching cpp-httplib for Windows"
  fetch_debian_source cpp-httplib
  local dir; dir=$(ls -d "$BUILD"/deps/src/cpp-httplib-*/ | head -n 1)
  mkdir -p "$out/include"
  cp "$dir"httplib.h "$out/include/"
}

# Line tables only (-g1): backtraces keep their files and lines, and the
# statically linked Windows programs are a third of the size, which makes
# their links, and so both builds, about a quarter quicker.
LEAN_DEBUG_INFO=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")

build_native() {
  log "building native"
  quiet cmake-native cmake -S "$ROOT" -B "$BUILD/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${LEAN_DEBUG_INFO[@]}"
  quiet make-native cmake --build "$BUILD/native" -j "$(nproc)"
}

build_windows() {
  build_libyaml_windows
  fetch_httplib_windows
  log "building Windows"
  quiet cmake-win cmake -S "$ROOT" -B "$BUILD/win" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${LEAN_DEBUG_INFO[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DVORN_LIBYAML_DIR="$BUILD/deps/libyaml-win" -DVORN_HTTPLIB_DIR="$BUILD/deps/httplib-win"
  quiet make-win cmake --build "$BUILD/win" -j "$(nproc)"
}

# The parts of a verbose ctest log worth reading: each suite's result, the
# failures with their details, and ctest's closing lines.
show_ctest() {
  grep -E 'Test +#[0-9]+:|^[0-9]+: FAIL|\[  FAILED  \]|Failure|error:|Expected|Which is|Value of|Actual|tests passed|tests failed|Total Test|\*\*\*' "$1" | \
    sed -E 's/^[0-9]+: //' | head -n 200
}

# Wine's taskkill has no /T and its powershell.exe is a silent stub: the
# test prefix gets our stand-ins in their place, loaded instead of Wine's own.
# PowerShell goes where Windows keeps it (System32\WindowsPowerShell\v1.0),
# which the program searches first, so the tests take a real machine's path.
install_standins() {
  local sys=$WINEPREFIX/drive_c/windows/system32
  mkdir -p "$sys/WindowsPowerShell/v1.0"
  local -A place=([taskkill]=$sys [powershell]=$sys/WindowsPowerShell/v1.0)
  for tool in taskkill powershell; do
    local target=${place[$tool]}/$tool.exe
    cmp -s "$BUILD/win/standins/$tool.exe" "$target" || cp "$BUILD/win/standins/$tool.exe" "$target"
  done
  # Not in the system folder itself: a test there would pass on a PATH lookup too.
  rm -f "$sys/powershell.exe"
  export WINEDLLOVERRIDES="mscoree,mshtml=;taskkill.exe,powershell.exe=n"
}

# A virtual display when none is set (its pid in XVFB_PID), and a 64-bit Wine
# prefix in the build folder.
XVFB_PID=""
start_display() {
  if [[ -z ${DISPLAY:-} ]]; then
    local n=91
    while [[ -e /tmp/.X$n-lock ]]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp -ac >"$LOGS/xvfb.log" 2>&1 &
    XVFB_PID=$!
    export DISPLAY=:$n
    for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
  fi
}

# The test prefix by default; a long run (the soak) may take one of its own,
# so that the tests' process cleanups never see its processes.
# Ends what the Wine set-up started: the prefix's processes and server, and
# the virtual display.
stop_wine() {
  # Only a prefix set up here: never the user's own Wine.
  if [[ -n ${WINEPREFIX:-} && $WINEPREFIX == "$BUILD"/* ]]; then /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true; fi
  if [[ -n $XVFB_PID ]]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}

setup_wine() {
  export WINEPREFIX=${1:-$BUILD/wine-prefix} WINEARCH=win64 WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  start_display
  if [[ ! -f $WINEPREFIX/.vorn-ready ]]; then
    log "preparing the Wine prefix"
    rm -rf "$WINEPREFIX"
    quiet wineboot "$WINE" wineboot --init
    /usr/lib/wine/wineserver64 -w || true
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    quiet wine-reg1 "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    quiet wine-reg2 "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
      /v "Segoe UI" /d Tahoma /f
    quiet winecfg "$WINE" winecfg /v win10
    /usr/lib/wine/wineserver64 -w || true
    touch "$WINEPREFIX/.vorn-ready"
  fi
  install_standins
  # A warm wineserver keeps every later start fast.
  /usr/lib/wine/wineserver64 -p >/dev/null 2>&1 || true
  "$WINE" cmd /c exit >/dev/null 2>&1 || true
}

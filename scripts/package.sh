#!/usr/bin/env bash
# Builds the Windows program and makes the release package:
# build/package/vorn-miner-gui-mainnet-<version>-win64.zip, holding the
# program (static, stripped), the user guide, the Grafana dashboard and SHA256SUMS.
source "$(dirname "$0")/lib.sh"

install_packages
build_windows
log "packaging"
quiet cpack bash -c "cd '$BUILD/win' && cpack -G ZIP -B '$BUILD/package'"
ls "$BUILD"/package/*.zip

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan, and
# runs each briefly on its seed corpus: FUZZ_SECONDS each (default 5).
source "$(dirname "$0")/lib.sh"
seconds=${FUZZ_SECONDS:-5}
quiet cmake-fuzz env CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORN_FUZZ=ON -DVORN_SANITIZE=address,undefined
quiet make-fuzz cmake --build "$BUILD/fuzz" -j "$(nproc)"
status=0
for target in settings miner_config interpret options; do
  corpus=$BUILD/fuzz/corpus/$target
  mkdir -p "$corpus"
  cp -n "$ROOT"/fuzz/corpus/$target/* "$corpus"/ 2>/dev/null || true
  if UBSAN_OPTIONS=halt_on_error=1 "$BUILD/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=4096 -artifact_prefix="$LOGS/" "$corpus" >"$LOGS/fuzz-$target.log" 2>&1; then
    echo "fuzz $target: $(grep -o 'Done [0-9]* runs' "$LOGS/fuzz-$target.log" | tail -n 1), no failure"
  else
    echo "fuzz $target: FAILED (log: $LOGS/fuzz-$target.log)"; tail -n 30 "$LOGS/fuzz-$target.log"; status=1
  fi
done
exit $status

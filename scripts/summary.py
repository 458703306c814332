#!/usr/bin/env python3
"""Adds up the GoogleTest counts of ctest logs, and the fault and metrics suites', into one closing line."""
import re
import sys

passed = failed = skipped = 0
for path in sys.argv[1:]:
    try:
        text = open(path, encoding="utf-8", errors="replace").read()
    except OSError:
        failed += 1
        continue
    passed += sum(int(n) for n in re.findall(r"\[  PASSED  \] (\d+) tests?", text))
    failed += sum(int(n) for n in re.findall(r"\[  FAILED  \] (\d+) tests?, listed below", text))
    skipped += sum(int(n) for n in re.findall(r"\[  SKIPPED \] (\d+) tests?", text))
    failed += len(re.findall(r"\*\*\*(?:Failed|Timeout|Exception)", text))
    for suite_passed, suite_failed in re.findall(r"^fault-suite: (\d+) passed, (\d+) failed", text, re.M):
        passed += int(suite_passed)
        failed += int(suite_failed)
    for outcome in re.findall(r"^metrics-e2e: (ok|FAILED)", text, re.M):
        passed += outcome == "ok"
        failed += outcome != "ok"
print(f"{passed} passed, {failed} failed, {skipped} skipped")
sys.exit(1 if failed or passed == 0 else 0)

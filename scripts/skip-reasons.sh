#!/usr/bin/env bash
# Prints why each GoogleTest test of a CTest run was skipped, from CTest's log
# (build/Testing/Temporary/LastTest.log), one line a test:
#   skipped: FaultTest.BrokenFiles...: uid 65534 cannot reach ...
# CTest itself shows only "***Skipped"; the reason is in the test's output.
set -euo pipefail
log="${1:?usage: skip-reasons.sh LastTest.log}"
[ -r "$log" ] || exit 0
awk '
  /^[^[].*:[0-9]+: Skipped$/ { reason = ""; capturing = 1; next }
  capturing && /^\[  SKIPPED \] / {
    name = $4
    printf "skipped: %s: %s\n", name, reason == "" ? "(no reason given)" : reason
    capturing = 0
    next
  }
  capturing { reason = reason == "" ? $0 : reason " " $0 }
' "$log"

#!/usr/bin/env bash
# scripts/skip-reasons.sh on a CTest log: one line per skipped test with its
# reason, nothing for the others.
set -euo pipefail
script="$1"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
cat > "$log" <<'LOG'
1/3 Testing: FaultTest.BrokenFilesGiveClearErrorsAndStayUntouched
Output:
----------------------------------------------------------
[ RUN      ] FaultTest.BrokenFilesGiveClearErrorsAndStayUntouched
/src/tests/faultTest.cpp:207: Skipped
uid 65534 cannot reach /root/x/build/tavrin-sink-host (a checkout under a private home such as /root); the file modes are not tested
[  SKIPPED ] FaultTest.BrokenFilesGiveClearErrorsAndStayUntouched (3 ms)
[  SKIPPED ] 1 test, listed below:
[  SKIPPED ] FaultTest.BrokenFilesGiveClearErrorsAndStayUntouched
<end of output>
2/3 Testing: HostTest.HelpPrintsUsage
[ RUN      ] HostTest.HelpPrintsUsage
[       OK ] HostTest.HelpPrintsUsage (5 ms)
3/3 Testing: A.Two
[ RUN      ] A.Two
/src/a.cpp:9: Skipped
first line
second line
[  SKIPPED ] A.Two (0 ms)
LOG
expected="skipped: FaultTest.BrokenFilesGiveClearErrorsAndStayUntouched: uid 65534 cannot reach /root/x/build/tavrin-sink-host (a checkout under a private home such as /root); the file modes are not tested
skipped: A.Two: first line second line"
actual="$("$script" "$log")"
if [ "$actual" != "$expected" ]; then
  printf 'skip reasons: expected\n%s\ngot\n%s\n' "$expected" "$actual"
  exit 1
fi
echo "skip reasons: as expected"

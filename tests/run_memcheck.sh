#!/usr/bin/env bash
# Runs the full-cycle host under memcheck; any memory
# error, and any leak that is not still reachable from a static (the
# library's state is allocated once and kept), fails the run.
set -euo pipefail
valgrind=$1 program=$2
exec "$valgrind" --quiet --error-exitcode=99 --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --suppressions="$(dirname "$0")/memcheck.supp" \
  "$program"

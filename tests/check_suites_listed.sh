#!/usr/bin/env bash
# Fails for every test suite of a program that no CTest list names, since
# such a suite would never run:  check_suites_listed.sh PROGRAM "SUITE..."
set -euo pipefail
program=$1
listed=" $2 "
missing=0
for suite in $("$program" --gtest_list_tests | sed -n 's/^\([A-Za-z0-9_]*\)\.$/\1/p'); do
  if [[ $listed != *" $suite "* ]]; then
    echo "suite $suite is in no list of tests/host/CMakeLists.txt: it never runs" >&2
    missing=1
  fi
done
exit $missing

#!/bin/sh
# Runs the tests of a build with CTest and says how long the suite took.
# Usage: tools/run-tests.sh BUILD_DIR [CTEST ARGS...]
# TEST_JOBS tests that compute (default: one a core) run at once, and beside them up to E2E_JOBS
# end-to-end tests (default 6), which mostly wait on timers and the network.
set -eu
build=$1
shift
test_jobs=${TEST_JOBS:-$(nproc)}
e2e_jobs=${E2E_JOBS:-6}
resources="$(cd "$build" && pwd)/ctest-resources.json"
cat >"$resources" <<RESOURCES
{
  "version": {"major": 1, "minor": 0},
  "local": [{"cpu": [{"id": "0", "slots": $test_jobs}], "e2e": [{"id": "0", "slots": $e2e_jobs}]}]
}
RESOURCES
started=$(date +%s)
status=0
ctest --test-dir "$build" --resource-spec-file "$resources" -j "$((test_jobs + e2e_jobs))" "$@" ||
    status=$?
echo "harbolt: the tests of $build took $(($(date +%s) - started)) s"
exit $status

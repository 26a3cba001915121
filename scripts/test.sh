#!/usr/bin/env bash
# Installs what the tests need (scripts/setup.sh), then builds and runs every
# test, stage by stage: the plain build, the sanitizer
# build, the fuzz targets, the Windows program under Wine, and the checks of
# the Windows stage's own fallback. Every stage runs even when one before it
# failed; a summary line per stage closes the run, and the exit status is
# non-zero when any stage that ran failed.
#
# ORVAN_STAGES (space-separated stage names) runs only those stages.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
stages=${ORVAN_STAGES:-plain sanitizer fuzz windows windows-fallback}
# A stage script that exits with this status skipped itself and said why.
SKIPPED_STATUS=77

# Builds and tests one of the presets in CMakePresets.json, running that
# many tests at once.
presetStage() {
    cmake --preset "$1" >/dev/null &&
        cmake --build --preset "$1" -j"$jobs" &&
        ctest --preset "$1" -j"$2"
}

# The plain build's tests wait on timers, pipes and child processes more
# than they compute: twice as many at once as there are cores keeps the
# cores busy (the timed ones run alone). The sanitizer's tests compute.
stagePlain() { presetStage default $((2 * jobs)); }
stageSanitizer() { presetStage sanitize "$jobs"; }

stageFuzz() { bash scripts/fuzz.sh; }
stageWindows() { bash scripts/test-windows.sh; }
stageWindowsFallback() { bash tests/windows_fallback_test.sh; }

# A machine without the packages is set up first, or told how, before any build.
bash scripts/setup.sh test </dev/null || exit $?

summary=()
failed=0
passedCount=0
skippedCount=0
for stage in $stages; do
    case $stage in
        plain) function=stagePlain title="plain build" ;;
        sanitizer) function=stageSanitizer title="sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)" ;;
        fuzz) function=stageFuzz title="fuzz targets" ;;
        windows) function=stageWindows title="Windows build under Wine" ;;
        windows-fallback) function=stageWindowsFallback title="Windows stage's fallback and failure report" ;;
        *)
            echo "unknown stage: $stage" >&2
            exit 2
            ;;
    esac
    echo "== $title"
    begun=$(date +%s)
    $function </dev/null
    status=$?
    seconds=$(($(date +%s) - begun))
    if [ "$status" -eq 0 ]; then
        result=passed
        passedCount=$((passedCount + 1))
    elif [ "$status" -eq "$SKIPPED_STATUS" ]; then
        result=skipped
        skippedCount=$((skippedCount + 1))
    else
        result="failed (status $status)"
        failed=$((failed + 1))
    fi
    summary+=("$(printf '%-18s %-20s %4d s' "$stage" "$result" "$seconds")")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
echo "stages: $passedCount passed, $failed failed, $skippedCount skipped"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang in build-fuzz/ (or
# $VAREK_FUZZ_BUILD_DIR) and runs each for SECONDS, as many at once as there
# are cores ($VAREK_FUZZ_JOBS to change that, $VAREK_FUZZ_NICE for their
# niceness), each from its seeds in fuzz/corpus/<harness>/ and the corpus
# earlier runs left in the build dir. Prints each harness's runs, coverage and
# corpus, and anything found; exits 1 when a harness found a crash, a leak, a
# time-out or an out-of-memory input (kept in the build dir's artifacts/).
#   fuzz.sh SECONDS [HARNESS...]      (no HARNESS: all of them)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VAREK_FUZZ_BUILD_DIR:-$root/build-fuzz}"
all=(fuzz_dbf fuzz_settings fuzz_dump_file fuzz_line_serial fuzz_keys_csv fuzz_backup)
if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]]; then
    echo "usage: tools/fuzz.sh SECONDS [HARNESS...]   harnesses: ${all[*]}" >&2
    exit 2
fi
seconds="$1"
shift
harnesses=("$@")
((${#harnesses[@]})) || harnesses=("${all[@]}")
for h in "${harnesses[@]}"; do
    [[ " ${all[*]} " == *" $h "* ]] || { echo "fuzz.sh: no harness $h (${all[*]})" >&2; exit 2; }
done

bash "$root/tools/install-deps.sh" --fuzz
cc="${VAREK_FUZZ_CC:-clang-14}"
cxx="${VAREK_FUZZ_CXX:-clang++-14}"
launcher=()
# Paths relative to the tree, so another clone hits the same cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_CXX_COMPILER="$cxx" -DVAREK_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${harnesses[@]}"

max_jobs="${VAREK_FUZZ_JOBS:-$(nproc)}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
run_one() {
    local h="$1" work="$build/corpus/$h" art="$build/artifacts/$h/"
    mkdir -p "$work" "$art"
    local status=0
    nice -n "${VAREK_FUZZ_NICE:-0}" "$build/bin/$h" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$art" \
        "$work" "$root/fuzz/corpus/$h" >"$build/$h.log" 2>&1 || status=$?
    echo "$status" >"$build/$h.status"
}
touch "$build/.fuzz-start"
for h in "${harnesses[@]}"; do
    while (($(jobs -rp | wc -l) >= max_jobs)); do wait -n || true; done
    echo "fuzzing $h for ${seconds}s"
    run_one "$h" &
done
wait

failed=0
for h in "${harnesses[@]}"; do
    log="$build/$h.log"
    status="$(cat "$build/$h.status")"
    # The last status line: "#<runs> DONE cov: <edges> ft: <features> corp: <inputs>/<size> ..."
    last="$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)"
    runs="$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' || true)"
    cov="$(grep -oE 'cov: [0-9]+ ft: [0-9]+' <<<"$last" || true)"
    corp="$(grep -oE 'corp: [0-9]+/[0-9a-zA-Z]+' <<<"$last" || true)"
    found="$(find "$build/artifacts/$h" -type f -newer "$build/.fuzz-start" 2>/dev/null | sort || true)"
    echo "$h: runs ${runs:-?}, ${cov:-cov ?}, ${corp:-corp ?}, exit $status"
    if [ "$status" -ne 0 ] || [ -n "$found" ]; then
        failed=1
        echo "$h FOUND:" ${found:-"(no artifact)"}
        grep -E '^(==[0-9]+==|SUMMARY|expectation failed|.*runtime error)' "$log" | head -n 20 || true
        echo "  full log: $log"
    fi
done
exit "$failed"

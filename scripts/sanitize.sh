#!/usr/bin/env bash
# Memory-safety runs of the unit suite, outside the regular test command:
#   bash scripts/sanitize.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer (+ LeakSanitizer)
#   bash scripts/sanitize.sh valgrind   valgrind memcheck on a representative subset
#   bash scripts/sanitize.sh            both
# Each exits non-zero when a report names this module's code.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work="$root/build/sanitize"
mkdir -p "$work"

py=""
for c in python3.11 "$HOME"/.pyenv/versions/3.11.*/bin/python3.11; do
  if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys' >/dev/null 2>&1; then py=$(command -v "$c"); break; fi
done
[ -n "$py" ] || { echo "python3.11 not found" >&2; exit 1; }
# The real interpreter binary (a pyenv shim is a shell script, which preloading would instrument instead).
py=$("$py" -c 'import sys, os; print(os.path.realpath(sys.executable))')

venv="$work/venv"
if [ ! -x "$venv/bin/python" ]; then
  "$py" -m venv "$venv" && "$venv/bin/python" -m pip install --quiet pytest hypothesis || exit 1
fi
vpy=$("$venv/bin/python" -c 'import sys; print(sys.executable)')
unit=(tests --ignore=tests/integration --ignore=tests/native --ignore=tests/typing -p no:cacheprovider -q)

# The ORM package with the native core of `build` in it: sablecrest/ is copied beside the
# build, and the interpreter runs with -P so that the work tree's own copy is not seen.
stage_package() {  # stage_package BUILD
  rm -rf "$1/site" && mkdir -p "$1/site" && cp -r sablecrest "$1/site/" && rm -f "$1"/site/sablecrest/*.so &&
    cp "$1"/_native*.so "$1/site/sablecrest/"
}

run_asan() {
  local build="$work/asan"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=address,undefined \
        -DPython_EXECUTABLE="$py" >/dev/null || return 1
  cmake --build "$build" || return 1
  stage_package "$build" || return 1
  # Leaks: the interpreter keeps much of its own memory until exit (interned strings,
  # type caches); only stacks that never pass through it are reported.
  cat >"$work/lsan.supp" <<'EOF'
leak:libpython
leak:python3.11
EOF
  local log="$work/asan.log"
  echo "=== AddressSanitizer + UndefinedBehaviorSanitizer: unit suite"
  LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1:log_path=$work/asan-report" \
  LSAN_OPTIONS="suppressions=$work/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$work/ubsan-report" \
  PYTHONMALLOC=malloc PYTHONPATH="$build:$build/site" SABLECREST_SKIP_SERVERS=1 \
    "$vpy" -P -m pytest "${unit[@]}" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local reports
  reports=$(cat "$work"/asan-report.* "$work"/ubsan-report.* 2>/dev/null)
  rm -f "$work"/asan-report.* "$work"/ubsan-report.*
  if [ -n "$reports" ]; then
    echo "$reports" | head -n 80
    echo "sanitizer reports found"
    return 1
  fi
  echo "no sanitizer reports (pytest exit $rc)"
  return "$rc"
}

run_valgrind() {
  local build="$work/valgrind"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" >/dev/null || return 1
  cmake --build "$build" || return 1
  stage_package "$build" || return 1
  local log="$work/valgrind.log"
  echo "=== valgrind memcheck: frame, QueryCompiler, StateTracker, BatchAggregator, SchemaDiffEngine, the ORM core"
  # Leak loops and subprocess runs take too long under valgrind; the benchmark's
  # small-count check times the native cycle, which valgrind slows fifty-fold.
  PYTHONMALLOC=malloc PYTHONPATH="$build:$build/site" SABLECREST_SKIP_SERVERS=1 \
      valgrind --tool=memcheck --error-limit=no --num-callers=30 \
      --leak-check=no --track-origins=no --log-file="$log" \
      "$vpy" -P -m pytest tests/module tests/query tests/tracking tests/batch tests/schema tests/orm/test_model.py \
      -p no:cacheprovider -q -x -k "not leak and not Leak and not subprocess and not time_only_the_cycle" 2>&1 | tail -n 3
  # Errors whose stack passes through this module's code.
  local ours
  ours=$(awk '/^==[0-9]+== [A-Z].*(Invalid|uninitialised|Mismatched|overlap|Jump)/{blk=$0; inblk=1; next}
              inblk && /^==[0-9]+== *$/{ if (blk ~ /_sablecrest_rs|_native/) print blk; inblk=0; next}
              inblk {blk=blk "\n" $0}' "$log")
  grep -E "ERROR SUMMARY" "$log" | tail -n 1
  if [ -n "$ours" ]; then
    echo "$ours" | head -n 80
    echo "valgrind errors in this module's code"
    return 1
  fi
  echo "no valgrind errors in this module's code"
}

status=0
case "${1:-all}" in
  asan) run_asan || status=1 ;;
  valgrind) run_valgrind || status=1 ;;
  all) run_asan || status=1; run_valgrind || status=1 ;;
  *) echo "usage: $0 [asan|valgrind]" >&2; exit 2 ;;
esac
exit $status

#!/usr/bin/env bash
# The whole test suite, from a fresh machine: builds the abi3 wheel once (with
# Python 3.11), installs that same file into a fresh virtual environment of
# every supported interpreter and runs the unit suite in each; the 3.11
# environment also runs the native core tests and the integration suite
# against PostgreSQL and MariaDB, which this script starts on loopback and
# stops afterwards. Arguments are passed to every pytest run. Last comes the
# portability job (scripts/portability.sh): the native core tests built with
# clang++ and cross compilers for i686, s390x and aarch64 (run under qemu) must
# answer exactly as the native build, and the module built with plain clang++
# must pass the unit suite.
#
# Environment: SABLECREST_PYTHONS="3.11 3.8 ..." limits the interpreters;
# SABLECREST_SKIP_SERVERS=1 skips the database servers (and their tests);
# SABLECREST_SKIP_PORTABILITY=1 skips the portability job (local runs only).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work="$root/build/test-run"
mkdir -p "$work"

find_python() {  # find_python 3.8 -> path of a working python3.8
  local v=$1 c
  for c in "python$v" "$HOME"/.pyenv/versions/"$v".*/bin/"python$v" /usr/bin/"python$v" /usr/local/bin/"python$v"; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys' >/dev/null 2>&1; then
      command -v "$c"
      return 0
    fi
  done
  return 1
}

py311=$(find_python 3.11) || { echo "python3.11 not found" >&2; exit 1; }

echo "=== building the wheel with $py311"
rm -rf "$work/wheel"
"$py311" -m pip wheel --quiet --no-deps -w "$work/wheel" . || exit 1
wheel=$(ls "$work"/wheel/*.whl)
echo "    $(basename "$wheel")"

servers_started=0
stop_servers() { if [ "$servers_started" = 1 ]; then bash scripts/databases.sh stop || true; fi; }
trap stop_servers EXIT

results=()
total_passed=0
total_failed=0
status=0

run_suite() {  # run_suite VERSION PYTHON FULL(0|1) [pytest args...]
  local v=$1 py=$2 full=$3
  shift 3
  local venv="$work/venv-$v" log="$work/pytest-$v.log"
  echo "=== Python $v ($py)"
  rm -rf "$venv"
  "$py" -m venv "$venv" || { results+=("$v: venv failed"); status=1; return; }
  local vpy="$venv/bin/python"
  "$vpy" -m pip install --quiet --disable-pip-version-check --upgrade pip >/dev/null 2>&1
  if [ "$full" = 1 ]; then
    "$vpy" -m pip install --quiet --disable-pip-version-check -r requirements-test.txt || { results+=("$v: pip failed"); status=1; return; }
  else
    "$vpy" -m pip install --quiet --disable-pip-version-check pytest hypothesis || { results+=("$v: pip failed"); status=1; return; }
  fi
  "$vpy" -m pip install --quiet --disable-pip-version-check --no-deps "$wheel" || { results+=("$v: wheel install failed"); status=1; return; }
  # pytest runs outside the work tree, so that `import sablecrest` finds the installed
  # package (with its native core) rather than the source folder.
  local args=(-p no:cacheprovider -q -c "$root/pyproject.toml" --rootdir "$root" "$root/tests")
  if [ "$full" != 1 ]; then
    args+=(--ignore="$root/tests/integration" --ignore="$root/tests/native" --ignore="$root/tests/typing")
  fi
  # Only the full run has database servers; elsewhere the ORM suite runs on SQLite alone.
  local skip=1
  if [ "$full" = 1 ]; then skip=${SABLECREST_SKIP_SERVERS:-0}; fi
  (cd "$work" && SABLECREST_SKIP_SERVERS=$skip "$vpy" -m pytest "${args[@]}" "$@") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line passed failed
  line=$(grep -E '[0-9]+ (passed|failed|errors?)\b.* in [0-9.]+s' "$log" | tail -n 1)
  passed=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
  failed=$(( $(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || echo 0) + $(grep -oE '[0-9]+ error' <<<"$line" | grep -oE '[0-9]+' || echo 0) ))
  total_passed=$((total_passed + ${passed:-0}))
  total_failed=$((total_failed + ${failed:-0}))
  results+=("$v: ${line:-no summary} (exit $rc)")
  if [ "$rc" != 0 ]; then status=1; fi
}

versions=${SABLECREST_PYTHONS:-"3.11 3.8 3.9 3.10 3.12 3.13"}
for v in $versions; do
  py=$(find_python "$v") || { results+=("$v: interpreter not found"); status=1; continue; }
  if [ "$v" = 3.11 ]; then
    if [ "${SABLECREST_SKIP_SERVERS:-0}" != 1 ]; then
      # Servers that were already up (a developer's, or another run's) are left running.
      if bash scripts/databases.sh status >/dev/null 2>&1; then
        :
      else
        bash scripts/databases.sh start && servers_started=1 || status=1
      fi
      eval "$(bash scripts/databases.sh env)"
    fi
    run_suite "$v" "$py" 1 "$@"
    stop_servers
    servers_started=0
  else
    run_suite "$v" "$py" 0 "$@"
  fi
done

if [ "${SABLECREST_SKIP_PORTABILITY:-0}" != 1 ]; then
  echo "=== portability: other compilers and architectures"
  bash scripts/portability.sh 2>&1 | tee "$work/portability.log"
  rc=${PIPESTATUS[0]}
  line=$(tail -n 1 "$work/portability.log")
  total_passed=$((total_passed + $(grep -oE '^[0-9]+' <<<"$line" || echo 0)))
  total_failed=$((total_failed + $(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || echo 1)))
  results+=("portability: $line (exit $rc)")
  if [ "$rc" != 0 ]; then status=1; fi
fi

echo
echo "=== one wheel ($(basename "$wheel")), every interpreter:"
for r in "${results[@]}"; do echo "    $r"; done
echo "$total_passed passed, $total_failed failed"
exit $status

#!/usr/bin/env bash
# The whole test suite, from a fresh machine: builds the abi3 wheel once (with
# Python 3.11), installs that same file into a fresh virtual environment of
# every supported interpreter, 3.8 to 3.15, and runs the unit suite in each; the
# 3.11 environment also runs the native core tests and the integration suite
# against PostgreSQL and MariaDB, which this script starts on loopback and
# stops afterwards, and builds the documentation site strictly (mkdocs, into
# build/site: a broken link or anchor, or a page missing from the nav, fails the
# run). 3.14 and 3.15, which pyenv does not offer here, are
# Debian unstable's builds, installed under build/newer-pythons by
# scripts/newer-pythons.sh (a second run only checks them). Arguments are
# passed to every pytest run. Then comes the portability job
# (scripts/portability.sh): the native core tests built with clang++ and cross
# compilers for i686, s390x and aarch64 (run under qemu) must answer exactly as
# the native build, the module built with plain clang++ must pass the unit
# suite, and both modules must compile against the 3.14 and 3.15 headers, also
# as for a free-threaded interpreter. Last, the release checks
# (scripts/release-check.sh) on the same wheel: auditwheel, abi3audit, the
# sdist, twine.
#
# Environment: SABLECREST_PYTHONS="3.11 3.8 ..." limits the interpreters;
# SABLECREST_SKIP_SERVERS=1 skips the database servers (and their tests);
# SABLECREST_SKIP_PORTABILITY=1 and SABLECREST_SKIP_RELEASE_CHECK=1 skip those
# jobs (local runs only); SABLECREST_NEWER_PYTHONS=DIR installs 3.14 and 3.15
# there instead of build/newer-pythons (a cache kept between clones);
# SABLECREST_PYTEST_TIMEOUT=SECONDS ends a pytest run that hangs (default 1200,
# 2700 for the full run).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work="$root/build/test-run"
mkdir -p "$work"

find_python() {  # find_python 3.8 -> path of a working python3.8
  local v=$1 c
  for c in "python$v" "$HOME"/.pyenv/versions/"$v".*/bin/"python$v" /usr/bin/"python$v" /usr/local/bin/"python$v" \
           "${newer_prefix:-}/bin/python$v"; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys' >/dev/null 2>&1; then
      command -v "$c"
      return 0
    fi
  done
  return 1
}

# Debian packages this script needs, installed when missing (as root; the first one
# missing brings the one apt-get update of the run).
apt_updated=0
need_debs() {  # need_debs PACKAGE...: 0 once all are installed
  local p missing=()
  for p; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} = 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages ${missing[*]}; installing them needs root: apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "=== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ "$apt_updated" = 0 ]; then
    apt-get update -q >"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log" >&2; return 1; }
    apt_updated=1
  fi
  apt-get install -y -q --no-install-recommends "${missing[@]}" >>"$work/apt.log" 2>&1 ||
    { tail -n 20 "$work/apt.log" >&2; return 1; }
}

# 3.14 and 3.15 from Debian unstable's packages (scripts/newer-pythons.sh): it reads this
# machine's own apt sources, fetches with apt-get and unpacks with dpkg-deb; their pip
# needs the CA bundle, and sid's Release file is checked with Debian's archive keyring.
newer_prefix=${SABLECREST_NEWER_PYTHONS:-$root/build/newer-pythons}
install_newer_pythons() {  # install_newer_pythons 3.14 ...: into $newer_prefix/bin
  echo "=== CPython $* from Debian unstable (scripts/newer-pythons.sh $newer_prefix)"
  need_debs ca-certificates debian-archive-keyring && bash scripts/newer-pythons.sh "$newer_prefix" "$@"
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
    # aiosqlite: the ORM's async sessions on SQLite are part of the unit suite.
    "$vpy" -m pip install --quiet --disable-pip-version-check pytest hypothesis aiosqlite || { results+=("$v: pip failed"); status=1; return; }
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
  # A run that hangs (a driver's thread that never ends keeps the interpreter from exiting)
  # is ended, and fails, rather than holding the whole run until CI gives up on it.
  local limit=${SABLECREST_PYTEST_TIMEOUT:-}
  [ -n "$limit" ] || { if [ "$full" = 1 ]; then limit=2700; else limit=1200; fi; }
  (cd "$work" && SABLECREST_SKIP_SERVERS=$skip timeout --kill-after=30 "$limit" "$vpy" -m pytest "${args[@]}" "$@") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then echo "=== Python $v: pytest ended after ${limit}s" | tee -a "$log"; fi
  local line passed failed
  line=$(grep -E '[0-9]+ (passed|failed|errors?)\b.* in [0-9.]+s' "$log" | tail -n 1)
  passed=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
  failed=$(( $(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || echo 0) + $(grep -oE '[0-9]+ error' <<<"$line" | grep -oE '[0-9]+' || echo 0) ))
  total_passed=$((total_passed + ${passed:-0}))
  total_failed=$((total_failed + ${failed:-0}))
  results+=("$v: ${line:-no summary} (exit $rc)")
  if [ "$rc" != 0 ]; then status=1; fi
}

build_docs() {  # build_docs PYTHON: the site from docs/, with the full run's mkdocs
  local py=$1 log="$work/docs.log" line
  echo "=== documentation: mkdocs build --strict into build/site"
  # Never with -q: mkdocs then drops its warnings before --strict counts them.
  "$py" -m mkdocs build --strict -f "$root/mkdocs.yml" -d "$root/build/site" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  if [ "$rc" = 0 ]; then
    line="1 passed, 0 failed"
    total_passed=$((total_passed + 1))
  else
    line="0 passed, 1 failed ($(grep -cE '^(WARNING|ERROR)' "$log") warnings or errors)"
    total_failed=$((total_failed + 1))
    status=1
  fi
  results+=("documentation site: $line (exit $rc)")
}

versions=${SABLECREST_PYTHONS:-"3.11 3.8 3.9 3.10 3.12 3.13 3.14 3.15"}
newer=()
for v in $versions; do
  case $v in 3.1[4-9]) find_python "$v" >/dev/null || newer+=("$v") ;; esac
done
if [ ${#newer[@]} -gt 0 ]; then
  install_newer_pythons "${newer[@]}" || status=1
fi
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
    build_docs "$work/venv-$v/bin/python"
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

if [ "${SABLECREST_SKIP_RELEASE_CHECK:-0}" != 1 ]; then
  echo "=== release checks: auditwheel, abi3audit, sdist, twine"
  bash scripts/release-check.sh "$wheel" 2>&1 | tee "$work/release-check.log"
  rc=${PIPESTATUS[0]}
  line=$(tail -n 1 "$work/release-check.log")
  total_passed=$((total_passed + $(grep -oE '^[0-9]+' <<<"$line" || echo 0)))
  total_failed=$((total_failed + $(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || echo 1)))
  results+=("release checks: $line (exit $rc)")
  if [ "$rc" != 0 ]; then status=1; fi
fi

echo
echo "=== one wheel ($(basename "$wheel")), every interpreter:"
for r in "${results[@]}"; do echo "    $r"; done
echo "$total_passed passed, $total_failed failed"
exit $status

#!/usr/bin/env bash
# The portability job of the test command: the code must build and behave the same with
# other compilers and on other architectures than the one it is developed on.
#   1. the native core tests (Python-free: hashes, the table's slot discipline, listing
#      orders, the benchmark cycle) built with g++ (the reference), clang++, and Debian's
#      cross compilers for i686 (32-bit, no 128-bit multiply, no SSE2), s390x (big-endian)
#      and aarch64; the foreign builds run under qemu-user, and every answer must equal the
#      reference's, byte for byte;
#   2. the whole module built with plain clang++ (Debian's default, no extra flags) and the
#      unit suite run on it;
#   3. the full-API build (what a free-threaded wheel is, here on 3.11 with its GIL) and
#      the unit suite run on it;
#   4. both modules compiled and linked (not run) against the headers of CPython 3.14 and
#      3.15 (Debian's, installed under build/ by scripts/newer-pythons.sh): the limited-API
#      build, whose files must keep the plain .abi3.so name, and the full-API build with
#      Py_GIL_DISABLED defined, as for a free-threaded interpreter (3.14t, 3.15t), which
#      cannot run here: its modules must take the free-threaded reference counting and
#      _sablecrest_rs must declare that it needs the GIL.
# Installs its Debian packages when they are missing (needs root then, as
# scripts/databases.sh does). Prints a last line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work="$root/build/portability"
mkdir -p "$work"

log() { echo "--- portability: $*"; }

packages=(clang qemu-user-static g++-i686-linux-gnu g++-s390x-linux-gnu g++-aarch64-linux-gnu)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "portability: missing ${missing[*]}; installing them needs root: apt-get install ${missing[*]}" >&2
    echo "0 passed, 1 failed"
    exit 1
  fi
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } >"$work/apt.log" 2>&1; then
    tail -n 20 "$work/apt.log" >&2
    echo "portability: apt-get install failed (full log: $work/apt.log)" >&2
    echo "0 passed, 1 failed"
    exit 1
  fi
fi

find_python() {  # as scripts/test.sh does
  local v=$1 c
  for c in "python$v" "$HOME"/.pyenv/versions/"$v".*/bin/"python$v" /usr/bin/"python$v" /usr/local/bin/"python$v"; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys' >/dev/null 2>&1; then command -v "$c"; return 0; fi
  done
  return 1
}
py=$(find_python 3.11) || { echo "python3.11 not found" >&2; echo "0 passed, 1 failed"; exit 1; }

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

# build_core NAME COMPILER [extra cmake arguments...]: core_tests in $work/NAME.
build_core() {
  local name=$1 cxx=$2
  shift 2
  local dir="$work/$name"
  rm -rf "$dir"
  if cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
        -DSABLECREST_CORE_ONLY=ON -DSABLECREST_CORE_TESTS=ON "$@" >"$dir.log" 2>&1 &&
     cmake --build "$dir" --target core_tests -j2 >>"$dir.log" 2>&1; then
    if grep -E "warning:" "$dir.log" >/dev/null; then
      echo "  $name: compiler warnings:" >&2
      grep -E "warning:" "$dir.log" | head -n 10 >&2
      return 1
    fi
    return 0
  fi
  tail -n 30 "$dir.log" >&2
  return 1
}

status=0
passed=0
failed=0
builds=()
# Foreign binaries are linked statically: qemu then needs no sysroot to run them.
declare -A configs=(
  [g++-x86_64]="g++"
  [clang++-x86_64]="clang++"
  [g++-i686]="i686-linux-gnu-g++"
  [g++-s390x]="s390x-linux-gnu-g++"
  [g++-aarch64]="aarch64-linux-gnu-g++"
)
declare -A runners=(
  [g++-i686]="qemu-i386-static"
  [g++-s390x]="qemu-s390x-static"
  [g++-aarch64]="qemu-aarch64-static"
)
log "building the core tests: ${!configs[*]}"
for name in g++-x86_64 clang++-x86_64 g++-i686 g++-s390x g++-aarch64; do
  extra=()
  [ -n "${runners[$name]:-}" ] && extra=(-DCMAKE_EXE_LINKER_FLAGS=-static)
  if build_core "$name" "${configs[$name]}" "${extra[@]}"; then
    builds+=("$name=${runners[$name]:+${runners[$name]} }$work/$name/core_tests")
  else
    echo "  $name: build FAILED (log: $work/$name.log)"
    failed=$((failed + 1))
    status=1
  fi
done

log "comparing every hash and listing order with the g++ x86_64 build"
"$py" tests/native/portability.py "${builds[@]}" | tee "$work/compare.log"
[ "${PIPESTATUS[0]}" = 0 ] || status=1
line=$(tail -n 1 "$work/compare.log")
passed=$((passed + $(grep -oE '^[0-9]+' <<<"$line" || echo 0)))
failed=$((failed + $(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || echo 0)))

log "the whole module with plain clang++, and the unit suite on it (Python $("$py" -c 'import platform; print(platform.python_version())'))"
venv="$work/venv"
rm -rf "$work/wheel" "$venv"
if CXX=clang++ "$py" -m pip wheel --quiet --no-deps -w "$work/wheel" . >"$work/clang-wheel.log" 2>&1 &&
   "$py" -m venv "$venv" &&
   "$venv/bin/python" -m pip install --quiet --disable-pip-version-check pytest hypothesis "$work"/wheel/*.whl \
     >>"$work/clang-wheel.log" 2>&1; then
  # From outside the work tree: `import sablecrest` must find the installed package.
  (cd "$work" && SABLECREST_SKIP_SERVERS=1 "$venv/bin/python" -m pytest -p no:cacheprovider -q \
      -c "$root/pyproject.toml" --rootdir "$root" "$root/tests" --ignore="$root/tests/integration" \
      --ignore="$root/tests/native" --ignore="$root/tests/typing") >"$work/clang-unit.log" 2>&1
  rc=$?
  summary=$(grep -E '[0-9]+ (passed|failed)' "$work/clang-unit.log" | tail -n 1)
  echo "  clang++ module, unit suite: ${summary:-no summary} (exit $rc)"
  passed=$((passed + $(grep -oE '[0-9]+ passed' <<<"$summary" | grep -oE '[0-9]+' || echo 0)))
  failed=$((failed + $(grep -oE '[0-9]+ failed' <<<"$summary" | grep -oE '[0-9]+' || echo 0)))
  if [ "$rc" != 0 ]; then
    status=1
    [ -n "$(grep -oE '[0-9]+ failed' <<<"$summary")" ] || failed=$((failed + 1))
    tail -n 40 "$work/clang-unit.log"
  fi
else
  tail -n 30 "$work/clang-wheel.log"
  echo "  clang++ module: build FAILED (log: $work/clang-wheel.log)"
  failed=$((failed + 1))
  status=1
fi

log "the full-API build (-Cwheel.py-api=, as for free-threaded interpreters), and the unit suite on it"
fvenv="$work/venv-full-api"
rm -rf "$work/wheel-full-api" "$fvenv"
if "$py" -m pip wheel --quiet --no-deps -w "$work/wheel-full-api" . -Cwheel.py-api= >"$work/full-api-wheel.log" 2>&1 &&
   "$py" -m venv "$fvenv" &&
   "$fvenv/bin/python" -m pip install --quiet --disable-pip-version-check pytest hypothesis "$work"/wheel-full-api/*.whl \
     >>"$work/full-api-wheel.log" 2>&1; then
  echo "  $(basename "$work"/wheel-full-api/*.whl)"
  (cd "$work" && SABLECREST_SKIP_SERVERS=1 "$fvenv/bin/python" -m pytest -p no:cacheprovider -q \
      -c "$root/pyproject.toml" --rootdir "$root" "$root/tests" --ignore="$root/tests/integration" \
      --ignore="$root/tests/native" --ignore="$root/tests/typing") >"$work/full-api-unit.log" 2>&1
  rc=$?
  summary=$(grep -E '[0-9]+ (passed|failed|errors?)' "$work/full-api-unit.log" | tail -n 1)
  echo "  full-API module, unit suite: ${summary:-no summary} (exit $rc)"
  passed=$((passed + $(grep -oE '[0-9]+ passed' <<<"$summary" | grep -oE '[0-9]+' || echo 0)))
  failed=$((failed + $(grep -oE '[0-9]+ failed' <<<"$summary" | grep -oE '[0-9]+' || echo 0)))
  if [ "$rc" != 0 ]; then
    status=1
    [ -n "$(grep -oE '[0-9]+ failed' <<<"$summary")" ] || failed=$((failed + 1))
    tail -n 40 "$work/full-api-unit.log"
  fi
else
  tail -n 30 "$work/full-api-wheel.log"
  echo "  full-API module: build FAILED (log: $work/full-api-wheel.log)"
  failed=$((failed + 1))
  status=1
fi

log "both modules against the headers of CPython 3.14 and 3.15: limited API, and full API with Py_GIL_DISABLED"
newer_prefix=${SABLECREST_NEWER_PYTHONS:-$root/build/newer-pythons}
if ! bash scripts/newer-pythons.sh "$newer_prefix" 3.14 3.15 >"$work/newer-pythons.log" 2>&1; then
  cat "$work/newer-pythons.log" >&2
  echo "  CPython 3.14/3.15: install FAILED"
  failed=$((failed + 1))
  status=1
else
  # header_build NAME PYTHON limited|free-threaded: both modules in $work/NAME, no warnings.
  header_build() {
    local name=$1 hpy=$2 kind=$3 dir="$work/$1"
    local args=(-DPython_EXECUTABLE="$hpy")
    # Debian's interpreter is a GIL build: Py_GIL_DISABLED switches its headers to the
    # free-threaded object layout, which is what a 3.14t/3.15t build compiles against.
    [ "$kind" = free-threaded ] && args+=(-DSABLECREST_FULL_API=ON -DCMAKE_CXX_FLAGS=-DPy_GIL_DISABLED=1)
    rm -rf "$dir"
    if ! { cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release "${args[@]}" &&
           cmake --build "$dir" -j2; } >"$dir.log" 2>&1; then
      tail -n 30 "$dir.log" >&2
      echo "  $name: build FAILED (log: $dir.log)"
      return 1
    fi
    if grep -E "warning:" "$dir.log" >/dev/null; then
      grep -E "warning:" "$dir.log" | head -n 10 >&2
      echo "  $name: compiler warnings (log: $dir.log)"
      return 1
    fi
    local files
    files=$(cd "$dir" && echo _sablecrest_rs.*so _native.*so)
    if [ "$kind" = limited ]; then
      [ "$files" = "_sablecrest_rs.abi3.so _native.abi3.so" ] ||
        { echo "  $name: expected _sablecrest_rs.abi3.so and _native.abi3.so, got: $files"; return 1; }
    else
      local f symbols
      for f in "$dir"/_sablecrest_rs.*so "$dir"/_native.*so; do
        symbols=$(nm -D --undefined-only "$f") || return 1
        # _Py_DecRefShared: the free-threaded Py_DECREF of an object another thread owns.
        grep -qw _Py_DecRefShared <<<"$symbols" ||
          { echo "  $name: $(basename "$f") was not compiled for the free-threaded layout"; return 1; }
      done
      symbols=$(nm -D --undefined-only "$dir"/_sablecrest_rs.*so) || return 1
      grep -qw PyUnstable_Module_SetGIL <<<"$symbols" ||
        { echo "  $name: _sablecrest_rs does not declare that it needs the GIL"; return 1; }
    fi
    echo "  $name: $files"
  }
  for v in 3.14 3.15; do
    for kind in limited free-threaded; do
      if header_build "headers-$v-$kind" "$newer_prefix/bin/python$v" "$kind"; then
        passed=$((passed + 1))
      else
        failed=$((failed + 1))
        status=1
      fi
    done
  done
fi

echo "$passed passed, $failed failed"
exit $status

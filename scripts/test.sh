#!/usr/bin/env bash
# Installs everything the suite needs on a fresh machine, builds and installs
# the module, starts the database servers, runs the whole test suite, stops
# the servers. Exit status is pytest's.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}

"$PY" -m pip install --quiet --upgrade pip
"$PY" -m pip install --quiet -r requirements-test.txt
"$PY" -m pip install --quiet --force-reinstall --no-deps .

servers_started=0
if [ "${SABLECREST_SKIP_SERVERS:-0}" != "1" ] && [ -f scripts/databases.sh ]; then
  bash scripts/databases.sh start
  servers_started=1
  eval "$(bash scripts/databases.sh env)"
fi
stop_servers() { if [ "$servers_started" = 1 ]; then bash scripts/databases.sh stop || true; fi; }
trap stop_servers EXIT

# The tests import the installed wheel: the work tree holds no importable module.
rc=0
"$PY" -m pytest -p no:cacheprovider "$@" tests || rc=$?
exit $rc

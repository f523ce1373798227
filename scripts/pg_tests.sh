#!/usr/bin/env bash
# pg_tests.sh PRESET [CTEST ARGUMENTS...]: runs the tests labelled pg (the local song database on a
# PostgreSQL server) of a build tree inside pg_virtualenv, which makes a throw-away cluster in a
# temporary folder (-t: also as root, beside other clusters), sets PGHOST, PGPORT, PGUSER,
# PGPASSWORD and PGDATABASE for the tests and drops the cluster afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
Preset=${1:?usage: pg_tests.sh PRESET [CTEST ARGUMENTS...]}
shift
# A port no other server listens on (another cluster, another run of this script).
Port=55432
while (exec 3<>"/dev/tcp/127.0.0.1/$Port") 2>/dev/null; do
    Port=$((Port + 1))
done
export PGPORT=$Port
exec pg_virtualenv -t ctest --preset "$Preset" -L pg "$@"

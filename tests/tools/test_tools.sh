#!/usr/bin/env bash
# The schema tool and the demo generator make files the plain sqlite3 shell can read, and the
# generator is deterministic from its seed.
#   test_tools.sh KTVSCHEMA KTVDEMO
set -euo pipefail
schema=$1
demo=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$schema" local "$work/Ktv.mdb" >/dev/null
"$schema" master "$work/Total.mdb" >/dev/null
tables=$(sqlite3 "$work/Ktv.mdb" "select group_concat(name, ' ') from (select name from sqlite_master where type = 'table' and name not like 'sqlite%' order by name)")
[ "$tables" = "DiscoTypes Discos Languages SongTypes Songs" ] || fail "local tables: $tables"
sqlite3 "$work/Total.mdb" "select SongNumber, FilePath, PublishDate from Songs" >/dev/null
# Text columns compare without letter case.
sqlite3 "$work/Ktv.mdb" "insert into Languages (LanguageName) values ('English')"
[ "$(sqlite3 "$work/Ktv.mdb" "select count(*) from Languages where LanguageName = 'ENGLISH'")" = 1 ] \
    || fail "text columns are not case-blind"
if "$schema" local "$work/Ktv.mdb" 2>/dev/null; then fail "ktvschema overwrote a file"; fi
if "$schema" wrong "$work/x.mdb" 2>/dev/null; then fail "ktvschema took a wrong kind"; fi
"$schema" --help | grep -q '^usage: ktvschema local|master FILE' || fail "ktvschema --help"
"$schema" --version | grep -qE '^ktvschema [0-9]+\.[0-9]+$' || fail "ktvschema --version"

listing() { (cd "$1" && find . -print | LC_ALL=C sort && sqlite3 DataBase/Total.mdb .dump && sqlite3 DataBase/Ktv.mdb .dump && cat Configure.ini | sed "s|$1||"); }
"$demo" --out "$work/a" --count 600 --seed 7 >/dev/null
"$demo" --out "$work/b" --count 600 --seed 7 >/dev/null
"$demo" --out "$work/c" --count 600 --seed 8 >/dev/null
[ "$(listing "$work/a")" = "$(listing "$work/b")" ] || fail "same seed, different library"
[ "$(listing "$work/a")" != "$(listing "$work/c")" ] || fail "other seed, same library"

db=$work/a/DataBase/Total.mdb
[ "$(sqlite3 "$db" "select count(*) from Songs")" = 600 ] || fail "song count"
[ "$(sqlite3 "$db" "select count(*) > 0 from Songs where SongName = ''")" = 1 ] || fail "no empty names"
[ "$(sqlite3 "$db" "select count(*) > 0 from Songs where PublishDate is null")" = 1 ] || fail "no missing dates"
[ "$(sqlite3 "$db" "select count(distinct LanguageName) > 3 from Songs")" = 1 ] || fail "few languages"
[ "$(sqlite3 "$db" "select FilePath from Songs where SongID = 1" | cut -d. -f1)" = 00001 ] || fail "file names"
[ "$(sqlite3 "$work/a/DataBase/Ktv.mdb" "select count(*) from DiscoTypes")" -gt 0 ] || fail "no disco types"
[ "$(sqlite3 "$work/a/DataBase/Ktv.mdb" "select count(*) from Songs")" = 0 ] || fail "local not empty"
files=$(find "$work/a/Songs" -type f | wc -l)
[ "$files" -gt 600 ] || fail "only $files song files"
grep -q "^Total=$work/a/DataBase/Total.mdb$" "$work/a/Configure.ini" || fail "Configure.ini Total"
grep -q "^Local=$work/a/DataBase/Ktv.mdb$" "$work/a/Configure.ini" || fail "Configure.ini Local"
if "$demo" --out "$work/a" --count 5 2>/dev/null; then fail "ktvdemo wrote into a full folder"; fi
echo "tools: all checks passed"

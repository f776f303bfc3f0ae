#!/usr/bin/env bash
# Writes a SQLite database with the current kmp-appserver and kmp-call: the demo data,
# three diagnoses saved (one then deleted), the four history sections and one report, so
# that an audit trail exists too. Used to keep one database per schema version under
# tests/data/ (schema-vN.db), which later servers must upgrade without loss.
#   tests/data/make-database.sh build/bin tests/data/schema-v5.db
set -euo pipefail
bin=$(cd "${1:?usage: make-database.sh BIN_DIR OUTPUT.db}" && pwd)
out=${2:?usage: make-database.sh BIN_DIR OUTPUT.db}
[ -e "$out" ] && { echo "$out exists; a stored database is never rewritten" >&2; exit 1; }
work=$(mktemp -d)
trap 'kill $pid 2>/dev/null; rm -rf "$work"' EXIT
db="sqlite:$work/kmp.db"
"$bin/kmp-appserver" demo --database "$db" >/dev/null
"$bin/kmp-appserver" serve --database "$db" --listen 127.0.0.1:0 --quiet >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 50); do grep -q '^listening on' "$work/out" && break; sleep 0.1; done
server=127.0.0.1:$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/out")
call() { "$bin/kmp-call" --server "$server" "$@" >/dev/null; }

diag='[["CDFILIAL","string",4],["CDPACIENTE","string",12],["DTCONSPACI","datetime",0],["CDDIAGNOST","string",10],["NMDIAGNOST","string",300],["NRSEQUENCIA","float",0],["CDTABECDI","string",7]]'
cat >"$work/d1.json" <<JSON
{"fields": $diag, "changes": [
 {"kind": "insert", "new": ["0001", "000000000001", 46363, "I10", "Hipertensão essencial (primária)", 1, "CID10"]},
 {"kind": "insert", "new": ["0001", "000000000001", 46363, "E119", "Diabetes mellitus não-insulino-dependente - sem complicações", 2, "CID10"]},
 {"kind": "insert", "new": ["0001", "000000000001", 46363, "J00", "Nasofaringite aguda [resfriado comum]", 3, "CID10"]}]}
JSON
cat >"$work/d2.json" <<JSON
{"fields": $diag, "changes": [
 {"kind": "delete", "old": ["0001", "000000000001", 46363, "J00", "Nasofaringite aguda [resfriado comum]", 3, "CID10"]}]}
JSON
call SetDiagPaci "@$work/d1.json"
section() { # METHOD FIELD RTF-TEXT
    local b64
    b64=$(printf '{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 %s\\par}' "$3" | base64 -w0)
    printf '{"fields":[["CDPACIENTE","string",12],["DTCONSPACI","datetime",0],["%s","blob",0],["CDFILIAL","string",4]],"changes":[{"kind":"insert","new":["000000000001",46363,{"base64":"%s"},"0001"]}]}' \
        "$2" "$b64" >"$work/s.json"
    call "$1" "@$work/s.json"
}
section SetHistDoen DSHISTDOEATU 'Paciente refere cefal\u233?ia h\u225? tr\u234?s dias.'
section SetHistClinProg DSHISTCLIPRE 'Hipertens\u227?o em acompanhamento desde 2019.'
section SetHistFam DSHISTFAMIL 'M\u227?e diab\u233?tica; pai hipertenso.'
section SetExamFisi DSHISTEXAFIS 'PA 150x95 mmHg, FC 78 bpm.'
b64=$(printf '{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 Febre e tosse h\\u225? dois dias.\\par}' | base64 -w0)
printf '{"fields":[["CDPACIENTE","string",12],["DTCONSPACI","datetime",0],["DSLAUDPACI","blob",0],["CDTIPOLAUDO","string",3],["CDFILIAL","string",4]],"changes":[{"kind":"insert","new":["000000000001",46363,{"base64":"%s"},"001","0001"]}]}' \
    "$b64" >"$work/m.json"
call SetMemLaudo "@$work/m.json"
call SetDiagPaci "@$work/d2.json"
kill -TERM $pid
wait $pid || true
cp "$work/kmp.db" "$out"
echo "$out: schema version $(sqlite3 "$out" 'SELECT MAX(VERSION) FROM KMP_SCHEMA_VERSION' 2>/dev/null || echo '?')"

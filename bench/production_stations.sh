#!/usr/bin/env bash
# Stations of a line at once, each running `orvan run` board after board on
# the virtual adapter, with about one run in ten killed at a random moment;
# then the boards' flashes and the database are held against each other:
# no serial on two boards, a record for every run that ended, and every
# killed run's value either recorded or left reserved.
#
# Usage: production_stations.sh BUILD_DIR [STATIONS [BOARDS [DATABASE]]]
#   DATABASE: a postgresql:// URL (run under pg_virtualenv), or empty for a
#   SQLite file of its own. Prints one Markdown row.
set -euo pipefail
build=$(cd "$1" && pwd)
stations=${2:-4}
boards=${3:-250}
database=${4:-}
KILL_PERCENT=10
# Killed within this many ms of the start: the time of a run here, so that
# kills land before, in and after the reservation and the write.
KILL_WITHIN_MS=250
SERIAL_ADDRESS=$((0x3f00))
SERIAL_CHARS=9
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$(dirname "$0")/../doc/example-recipe/app.hex" "$work/"
[ -n "$database" ] || database=$work/production.sqlite

station() {
    local n=$1 folder=$work/station-$n
    mkdir "$folder"
    sed -e "s|^database = .*|database = \"$database\"|" -e "s|^station = .*|station = \"st$n\"|" \
        "$(dirname "$0")/../doc/example-recipe/sensor.toml" >"$folder/sensor.toml"
    cp "$work/app.hex" "$folder/"
    for ((board = 0; board < boards; board++)); do
        local status=0
        if ((RANDOM % 100 < KILL_PERCENT)); then
            local delay
            delay=$(printf '0.%03d' $((RANDOM % KILL_WITHIN_MS)))
            # The shell's own "Killed" line goes too.
            { (cd "$folder" && VADAPTER_FLASH=flash.bin timeout -s KILL "$delay" "$build/orvan" --quiet run \
                sensor.toml >/dev/null 2>&1); } 2>/dev/null || status=$?
        else
            (cd "$folder" && VADAPTER_FLASH=flash.bin "$build/orvan" --quiet run sensor.toml >/dev/null 2>&1) ||
                status=$?
        fi
        echo "$status" >>"$folder/statuses"
        # The serial a finished run left on its board, read from the flash itself.
        if [ "$status" -eq 0 ]; then
            dd if="$folder/flash.bin" bs=1 skip=$SERIAL_ADDRESS count=$SERIAL_CHARS status=none >>"$folder/serials"
            echo >>"$folder/serials"
        fi
    done
}

begun=$(date +%s)
for ((n = 1; n <= stations; n++)); do
    station "$n" &
done
wait
seconds=$(($(date +%s) - begun))

cat "$work"/station-*/statuses >"$work/statuses"
ok=$(grep -cx 0 "$work/statuses" || true)
killed=$(grep -cxE '137|124' "$work/statuses" || true)
other=$(($(wc -l <"$work/statuses") - ok - killed))
twice=$(cat "$work"/station-*/serials | sort | uniq -d | wc -l)
json=$("$build/orvan" --json report --db "$database" 2>/dev/null)
states() { python3 -c 'import json, sys; print(sum(u["state"] == sys.argv[1] for u in json.load(sys.stdin)["units"]))' "$1" <<<"$json"; }
used=$(states used)
reserved=$(states reserved)
failed=$(states failed)
chain=$("$build/orvan" report --verify --db "$database" >/dev/null 2>&1 && echo whole || echo broken)
kind=$([[ $database == postgres* ]] && echo PostgreSQL || echo SQLite)
echo "| database | stations × boards | runs ok | runs killed | runs failed otherwise | serials on two boards | used | failed | reserved | chain | wall |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
echo "| $kind | $stations × $boards | $ok | $killed | $other | $twice | $used | $failed | $reserved | $chain | $seconds s |"

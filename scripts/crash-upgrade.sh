#!/usr/bin/env bash
# Kills the upgrading copy of the updater with SIGKILL at random moments and checks that the
# installation survives: nothing is ever left that is neither version while the backup is gone,
# the next start (a check, as the master starts it) leaves exactly one of the two versions, and a
# second upgrade then ends at the new one.
#
#   scripts/crash-upgrade.sh [--trials N] [--minutes M] [--small] [--plain] [--seed S] [--keep]
#                            [--build-dir DIR]
#
#   --trials N   trials after the calibration runs (default 20)
#   --minutes M  start no trial after M minutes from the start (the summary counts those done)
#   --small      a client of a few hundred files and a few MB instead of ~2,000 files and ~100 MB
#   --plain      no links and no read-only files in the client: crash safety apart from the walks
#   --seed S     seed of the sample's bytes and of the kill moments (default 1)
#   --keep       keep the work directory
#   --build-dir  the build with bin/solupdate and tests/bin/versiontree (default <repo>/build)
#
# The trials take turns between three kinds: a good incremental package; a corrupt incremental
# then a good full package (a restore, then a replace); both corrupt (two restores, result 7).
# Two kills in three are aimed inside the replace or a restore: found from the copy's live log, then
# a random delay shorter than the shortest of that phase's last six complete runs (from every log
# the calibration and the trials leave, so the delay follows the machine's load); the others fall
# anywhere in the copy's run. Trials that break something keep their logs and tree differences in
# <build dir>/crash-upgrade/<run>/. Exit status: 0 when nothing was broken or lost, 1 otherwise, 2 for
# bad arguments or a failed set-up, 77 when nginx is missing.
set -euo pipefail

# Lines of the upgrading copy's log (info level) that open and close the two dangerous phases.
REPLACE_START='upgrader replacing install dir'
REPLACE_END='upgrader replaced install dir'
RESTORE_START='restore install dir from backup'
RESTORE_END='restore install dir done'
# The repair at the next start.
REPAIR_FOUND='repair record found'
REPAIR_DONE='install dir repaired'
REPAIR_FAILED='install dir repair failed'
# Before the repair record existed, the replace followed the patch tool's successful end, and a
# restore was announced by the runner.
LEGACY_REPLACE_START='upgrader finished, exitCode = 0,'
LEGACY_REPLACE_END='upgrade runner on ungrade complete'
LEGACY_RESTORE_START='upgrade runner fallback (upgrade|full) package"'
LEGACY_RESTORE_END='upgrade runner on fallback complete'

root="$(cd "$(dirname "$0")/.." && pwd)"
trials=20
minutes=0
small=0
plain=
seed=1
keep=0
build="$root/build"
usage() { sed -n '7,16p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --trials) trials="${2:?}"; shift 2 ;;
        --minutes) minutes="${2:?}"; shift 2 ;;
        --small) small=1; shift ;;
        --plain) plain=plain; shift ;;
        --seed) seed="${2:?}"; shift 2 ;;
        --keep) keep=1; shift ;;
        --build-dir) build="${2:?}"; shift 2 ;;
        *) usage ;;
    esac
done
[[ "$trials" =~ ^[0-9]+$ && "$seed" =~ ^[0-9]+$ && "$minutes" =~ ^[0-9]+$ ]] || usage
deadline=$((SECONDS + minutes * 60))

bin="$build/bin"
testbin="$build/tests/bin"
if ! command -v nginx > /dev/null && [ ! -x /usr/sbin/nginx ]; then
    echo "crash-upgrade: nginx is missing (scripts/setup.sh installs it); skipped"
    exit 77
fi
PATH="$PATH:/usr/sbin"
for tool in "$bin/solupdate" "$bin/hpatchz" "$bin/mkhpatch" "$testbin/versiontree" "$testbin/mastermock"; do
    [ -x "$tool" ] || { echo "crash-upgrade: missing $tool: build first" >&2; exit 2; }
done
# shellcheck source=lib/nginx.sh
. "$root/scripts/lib/nginx.sh"

work="$(mktemp -d /tmp/solupdate-crash.XXXXXX)"
# nginx's worker reads the packages under an unprivileged user when this runs as root.
chmod 755 "$work"
master_pid=
killed_pids="$work/killed-pids"
: > "$killed_pids"

# The processes whose executable path matches the pattern, by one look at /proc (a fork per
# process would take seconds on a busy machine).
pids_running_from() {
    find /proc -mindepth 2 -maxdepth 2 -name exe -lname "$1" 2> /dev/null | cut -d/ -f3
}
# Every updater (and patch tool) started from the work directory is ours by its path.
kill_ours() {
    local pid
    for pid in $(pids_running_from "$work/*"); do
        echo "$pid" >> "$killed_pids"
        kill -9 "$pid" 2> /dev/null || true
    done
}
cleanup() {
    set +e
    kill_ours
    [ -n "$master_pid" ] && kill "$master_pid" 2> /dev/null && wait "$master_pid" 2> /dev/null
    stop_nginx
    # A killed updater leaves its one-byte single-instance segment behind; nobody else removes it.
    if command -v ipcs > /dev/null && [ -s "$killed_pids" ]; then
        ipcs -m -p | awk 'NR > 3 && $3 != "" { print $1, $3 }' | while read -r id cpid; do
            grep -qx "$cpid" "$killed_pids" && ipcrm -m "$id" 2> /dev/null
        done
    fi
    if [ "$keep" = 1 ]; then
        echo "work directory kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

b64() { printf %s "$1" | base64 -w0; }
# The timing helpers set variables instead of printing: no fork, so no delay of tens of ms on a
# busy machine, and the seeded generator advances in this shell rather than in a subshell.
now_ms() { local t=${EPOCHREALTIME/./}; now=$((t / 1000)); }
# A random number in [0, n) into rnd.
rand_below() { rnd=$(((RANDOM * 32768 + RANDOM) % $1)); }
RANDOM=$seed

# Per-user locations inside the work directory, as a launched updater in the tests has them.
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_CONFIG_HOME="$work/home/.config"
export XDG_CACHE_HOME="$work/home/.cache" XDG_RUNTIME_DIR="$work/home/.runtime" TMPDIR="$work/home/tmp"
export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME/Desktop" "$TMPDIR" "$XDG_RUNTIME_DIR" "$work/www" "$work/reports"
chmod 700 "$XDG_RUNTIME_DIR"
data_dir="$XDG_DATA_HOME/solupdate"
install="$work/Sample Client 示例"
backup="$data_dir/Sample Client 示例_backup"
reports="$build/crash-upgrade/${work##*/}"

# --- the sample client in two versions, its packages and the server -------------------------
if [ "$small" = 1 ]; then files=300 bytes=$((4 * 1024 * 1024)); else files=2000 bytes=$((100 * 1000 * 1000)); fi
old="$work/release-1.0.0.0"
new="$work/release-1.1.0.0"
"$testbin/versiontree" "$old" 1.0.0.0
"$testbin/versiontree" "$new" 1.1.0.0
python3 "$root/scripts/lib/grow-sample.py" "$old" "$new" "$files" "$bytes" "$seed" $plain

# A tree as text: every entry with its type, mode and link target, then every file's hash.
manifest() {
    (
        cd "$1"
        find . -mindepth 1 -printf '%P %y %m %l\n' | LC_ALL=C sort
        find . -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 -r sha256sum
    )
}
# The backup holds the updater's own files besides the tree, as the updater lives outside.
without_updater() { grep -v -E '^(solupdate|solupdate\.ini|hpatchz) f |^[0-9a-f]{64}  (solupdate|solupdate\.ini|hpatchz)$' || true; }
manifest "$old" > "$work/old.manifest"
manifest "$new" > "$work/new.manifest"
echo "sample: $(grep -c ' f ' "$work/old.manifest") files in 1.0.0.0, $(grep -c ' f ' "$work/new.manifest") in 1.1.0.0," \
    "$(du -sm "$old" | cut -f1) MB; $(grep -c ' l ' "$work/old.manifest") links," \
    "$(grep -c '/\.\|^\.' "$work/old.manifest") hidden entries"

pkgs="$work/www/packages"
mkdir -p "$pkgs"
nice -n 5 "$bin/mkhpatch" "$old" "$new" "$pkgs/client-1.0.0.0-1.1.0.0.pkg"
nice -n 5 "$bin/mkhpatch" --full "$new" "$pkgs/client-1.1.0.0-full.pkg"
# Corrupt copies: bytes flipped in the middle, so the patch tool refuses them only once it is busy.
for name in client-1.0.0.0-1.1.0.0 client-1.1.0.0-full; do
    cp "$pkgs/$name.pkg" "$pkgs/$name-corrupt.pkg"
    python3 - "$pkgs/$name-corrupt.pkg" << 'EOF'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(0, 2)
    middle = f.tell() // 2
    f.seek(middle)
    data = bytes(~b & 0xff for b in f.read(16))
    f.seek(middle)
    f.write(data)
EOF
done
start_nginx "$work/nginx" "$work/www"
base="http://127.0.0.1:$NGINX_PORT"

# The update description of each kind of trial: <incremental> <full>.
document() {
    cat << EOF
{
  "strategy": { "force": false },
  "config": {
    "name": "sample client", "version": "1.1.0.0", "title": "Sample client 1.1.0.0",
    "content": { "cn": "示例客户端 1.1.0.0", "en": "Sample client 1.1.0.0" },
    "product_url": "$base/index.html",
    "package": {
      "upgrade_packages": [ { "download_url": "$base/packages/$1", "version_required": "1.0.0.0" } ],
      "full_package": { "download_url": "$base/packages/$2" }
    }
  }
}
EOF
}
document client-1.0.0.0-1.1.0.0.pkg client-1.1.0.0-full.pkg > "$work/www/update.json"
document client-1.0.0.0-1.1.0.0.pkg client-1.1.0.0-full.pkg > "$work/doc-incremental"
document client-1.0.0.0-1.1.0.0-corrupt.pkg client-1.1.0.0-full.pkg > "$work/doc-full"
document client-1.0.0.0-1.1.0.0-corrupt.pkg client-1.1.0.0-full-corrupt.pkg > "$work/doc-restore"

updater="$work/updater"
mkdir -p "$updater"
cp "$bin/solupdate" "$bin/hpatchz" "$updater/"
printf '[config]\nCheckInterval=3600\nCheckIntervalAfterUserCancel=86400\nNeedKilledProcessesBeforeUpgrade=\n' \
    > "$updater/solupdate.ini"
coproc MASTER { exec "$testbin/mastermock" --name crash-master --out "$work/master-received.txt"; }
master_pid=$MASTER_PID
read -r -u "${MASTER[0]}" _

# The markers this build writes: the repair record's lines, or the older ones.
if strings -e l "$bin/solupdate" | grep -qF "$REPLACE_START"; then
    replace_start="\"$REPLACE_START" replace_end="\"$REPLACE_END"
    restore_start="\"$RESTORE_START" restore_end="\"$RESTORE_END"
    markers=current
else
    replace_start="\"$LEGACY_REPLACE_START" replace_end="\"$LEGACY_REPLACE_END"
    restore_start="\"$LEGACY_RESTORE_START" restore_end="\"$LEGACY_RESTORE_END"
    markers=legacy
fi
echo "phase markers: $markers"

# --- one run of the updater -----------------------------------------------------------------
run_updater() { # <action> <log dir> [timeout s]
    mkdir -p "$2"
    timeout -s KILL "${3:-300}" "$updater/solupdate" --action="$1" --mode=manual --role=teacher \
        --exePath="$(b64 "$install/Client.exe")" --updateUrl="$(b64 "$base/update.json")" --masterPid=4711 \
        --lang=en --masterHwnd=1 --masterLocalServer="$(b64 crash-master)" --logDirPath="$(b64 "$2")" \
        > /dev/null 2>&1 || true
}
# Sets copy and copy_log: the copy that runs from the backup directory with "realUpgrade", found
# by its log (which names its pid) in the log directory it was given; false when none turns up.
find_copy() { # <log dir>
    local f _
    for _ in $(seq 500); do
        for f in "$1"/solupdate_*.log; do
            if [ -e "$f" ] && grep -q 'action:realUpgrade' "$f"; then
                copy_log=$f
                f=${f##*/solupdate_}
                copy=${f%%_*}
                # Still running: it must be the executable in the backup directory.
                if [ -e "/proc/$copy/exe" ] && [ "$(readlink "/proc/$copy/exe")" != "$backup/solupdate" ]; then
                    echo "process $copy does not run from the backup directory" >&2
                    return 1
                fi
                return 0
            fi
        done
        nap_ms 10
    done
    return 1
}
# Sleeps without a fork: a read that times out on a pipe nobody writes.
mkfifo "$work/nap"
exec {nap}<> "$work/nap"
nap_ms() {
    local s
    printf -v s '%d.%03d' $(($1 / 1000)) $(($1 % 1000))
    read -r -t "$s" -u "$nap" _ || true
}
# Returns once the nth line matching the regex is in the log, or the process is gone.
watch_for() { # <log> <regex> <nth> <pid>
    local fd line buf='' seen=0
    exec {fd}< "$1"
    while [ "$seen" -lt "$3" ]; do
        if IFS= read -r -u "$fd" line; then
            line="$buf$line"
            buf=''
            [[ $line =~ $2 ]] && seen=$((seen + 1))
        else
            # A record still being written: keep its start for the next read.
            buf+=$line
            kill -0 "$4" 2> /dev/null || break
            nap_ms 2
        fi
    done
    exec {fd}<&-
}
count() {
    local n
    n=$(grep -cE "$1" "$2" 2> /dev/null) || true
    echo "${n:-0}"
}
wait_gone() { # <pid> <timeout s>
    local i
    for i in $(seq $(($2 * 50))); do
        kill -0 "$1" 2> /dev/null || return 0
        nap_ms 20
    done
    kill -9 "$1" 2> /dev/null || true
    return 1
}
# Milliseconds from each start line to the end line after it, one line per phase.
phase_ms() { # <log> <start> <end>
    python3 - "$@" << 'EOF'
import datetime, re, sys
log, start, end = sys.argv[1:4]
opened = None
for line in open(log, encoding="utf-8", errors="replace"):
    stamp = re.search(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})", line)
    if not stamp:
        continue
    t = datetime.datetime.strptime(stamp.group(1), "%Y-%m-%d %H:%M:%S.%f")
    if re.search(start, line):
        opened = t
    elif opened and re.search(end, line):
        print(int((t - opened).total_seconds() * 1000))
        opened = None
EOF
}
same_as() { cmp -s "$1" "$2"; }
# 1.0.0.0, 1.1.0.0, or "mixed" with the number of differing manifest lines against each.
state_of() { # <manifest>
    if same_as "$1" "$work/old.manifest"; then
        echo 1.0.0.0
    elif same_as "$1" "$work/new.manifest"; then
        echo 1.1.0.0
    else
        echo "mixed($(diff "$work/old.manifest" "$1" | grep -c '^[<>]'):$(diff "$work/new.manifest" "$1" | grep -c '^[<>]'))"
    fi
}
reset_trial() {
    rm -rf "$install" "$data_dir"
    cp -a "$old" "$install"
    mkdir -p "$data_dir"
}

# How long the replace and the restore last now: the latest complete runs of each, newest last.
recent_replace=() recent_restore=()
learn_phases() { # <log>...
    local log ms
    for log in "$@"; do
        [ -f "$log" ] || continue
        for ms in $(phase_ms "$log" "$replace_start" "$replace_end"); do recent_replace+=("$ms"); done
        for ms in $(phase_ms "$log" "$restore_start" "$restore_end"); do recent_restore+=("$ms"); done
    done
    [ ${#recent_replace[@]} -gt 6 ] && recent_replace=("${recent_replace[@]: -6}")
    [ ${#recent_restore[@]} -gt 6 ] && recent_restore=("${recent_restore[@]: -6}")
    return 0
}
# The shortest of the given durations into shortest (0 when there are none).
shortest_of() {
    local ms
    shortest=0
    for ms in "$@"; do
        if [ "$shortest" = 0 ] || [ "$ms" -lt "$shortest" ]; then shortest=$ms; fi
    done
}

# --- calibration: each kind once without a kill, to know how long things last ---------------
declare -A run_ms replace_ms restore_ms
for kind in incremental full restore; do
    reset_trial
    cp "$work/doc-$kind" "$data_dir/update_teacher.json"
    logs="$work/logs/calibrate-$kind"
    run_updater upgrade "$logs"
    find_copy "$logs" || { echo "calibration $kind: the upgrading copy never started" >&2; exit 2; }
    now_ms
    t0=$now
    wait_gone "$copy" 300 || { echo "calibration $kind: the upgrading copy hung" >&2; exit 2; }
    now_ms
    run_ms[$kind]=$((now - t0))
    log=$copy_log
    learn_phases "$log"
    replace_ms[$kind]=$(phase_ms "$log" "$replace_start" "$replace_end" | sort -n | tail -n1)
    restore_ms[$kind]=$(phase_ms "$log" "$restore_start" "$restore_end" | sort -n | tail -n1)
    manifest "$install" > "$work/calibrate-$kind.manifest"
    got=$(state_of "$work/calibrate-$kind.manifest")
    want=1.1.0.0
    [ "$kind" = restore ] && want=1.0.0.0
    echo "calibration $kind: copy ran ${run_ms[$kind]} ms, replace ${replace_ms[$kind]:--} ms," \
        "restore ${restore_ms[$kind]:--} ms, installation $got"
    if [ "$got" != "$want" ]; then
        mkdir -p "$reports/calibrate-$kind"
        cp -r "$logs" "$reports/calibrate-$kind/logs"
        diff "$work/$( [ "$want" = 1.0.0.0 ] && echo old || echo new).manifest" "$work/calibrate-$kind.manifest" \
            > "$reports/calibrate-$kind/tree.diff" || true
        echo "calibration $kind: the installation is not $want without any kill;" \
            "see $reports/calibrate-$kind" >&2
        calibration_failed=1
    fi
done

# --- the trials -------------------------------------------------------------------------------
# A cycle of six: kind, and the phase a kill is aimed at ("any" = a moment of the whole run).
schedule=(incremental:replace restore:restore full:any full:aimed incremental:replace restore:any)
inside=0 aimed=0 broken=0 lost=0 final_bad=0 repaired=0
done_trials=0
for ((trial = 1; trial <= trials; trial++)); do
    if [ "$minutes" -gt 0 ] && [ "$SECONDS" -ge "$deadline" ]; then
        echo "time is up after $done_trials trials"
        break
    fi
    entry=${schedule[$(((trial - 1) % ${#schedule[@]}))]}
    kind=${entry%%:*}
    aim=${entry#*:}
    if [ "$aim" = aimed ]; then
        rand_below 2
        if [ "$rnd" = 0 ]; then aim=replace; else aim=restore; fi
    fi
    now_ms
    trial_start=$now
    reset_trial
    cp "$work/doc-$kind" "$data_dir/update_teacher.json"
    logs="$work/logs/trial-$trial"
    run_updater upgrade "$logs/upgrade"
    find_copy "$logs/upgrade" || { echo "trial $trial: the upgrading copy never started" >&2; exit 2; }
    log=$copy_log
    now_ms
    t0=$now
    if [ "$aim" = any ]; then
        rand_below "$((run_ms[$kind] > 0 ? run_ms[$kind] : 1))"
        nap_ms "$rnd"
    else
        aimed=$((aimed + 1))
        if [ "$aim" = replace ]; then
            start=$replace_start
            shortest_of "${recent_replace[@]}"
        else
            start=$restore_start
            shortest_of "${recent_restore[@]}"
        fi
        length=$shortest
        # The first or the second restore of a run with two.
        nth=1
        if [ "$aim" = restore ] && [ "$kind" = restore ]; then
            rand_below 2
            nth=$((1 + rnd))
        fi
        watch_for "$log" "$start" "$nth" "$copy"
        rand_below "$((length > 0 ? length : 1))"
        nap_ms "$rnd"
    fi
    now_ms
    moment=$((now - t0))
    if kill -9 "$copy" 2> /dev/null; then
        echo "$copy" >> "$killed_pids"
        wait_gone "$copy" 10 || true
        # A power cut takes the patch tool along with its parent.
        kill_ours
        killed=yes
    else
        killed="no (ended first)"
    fi
    phase=outside
    if [ "$(count "$replace_start" "$log")" -gt "$(count "$replace_end" "$log")" ]; then
        phase=replace
    elif [ "$(count "$restore_start" "$log")" -gt "$(count "$restore_end" "$log")" ]; then
        phase=restore
    fi
    [ "$phase" != outside ] && inside=$((inside + 1))

    # At once, before anything else runs: a broken installation needs its backup.
    manifest "$install" > "$work/after-kill.manifest"
    after_kill=$(state_of "$work/after-kill.manifest")
    outcome=ok
    problems=()
    if [[ $after_kill == mixed* ]]; then
        if [ ! -d "$backup" ]; then
            lost=$((lost + 1))
            problems+=("lost backup (gone)")
        elif ! same_as <(manifest "$backup" | without_updater) "$work/old.manifest"; then
            lost=$((lost + 1))
            problems+=("lost backup (not the old tree)")
            if [ -d "$backup" ]; then
                manifest "$backup" | without_updater | diff "$work/old.manifest" - > "$work/backup.diff" || true
            fi
        fi
    fi

    # The master's next check repairs what the kill left.
    run_updater checkUpdate "$logs/check" 180
    manifest "$install" > "$work/after-check.manifest"
    after_check=$(state_of "$work/after-check.manifest")
    if grep -qF "$REPAIR_DONE" "$logs/check"/*.log 2> /dev/null; then repaired=$((repaired + 1)); fi
    if [[ $after_check == mixed* ]]; then
        broken=$((broken + 1))
        problems+=("broken installation")
    fi

    # And the user accepts the offer again, this time without a kill.
    final=$after_check
    if [ "$after_check" != 1.1.0.0 ]; then
        cp "$work/doc-incremental" "$data_dir/update_teacher.json"
        run_updater upgrade "$logs/final"
        if find_copy "$logs/final"; then
            wait_gone "$copy" 300 || problems+=("final upgrade hung")
        else
            problems+=("final upgrade did not start")
        fi
        manifest "$install" > "$work/final.manifest"
        final=$(state_of "$work/final.manifest")
    fi
    if [ "$final" != 1.1.0.0 ]; then
        final_bad=$((final_bad + 1))
        problems+=("final upgrade at $final")
    fi

    if [ ${#problems[@]} -gt 0 ]; then
        outcome=$(IFS=,; echo "${problems[*]}")
        report="$reports/trial-$trial"
        rm -rf "$report"
        mkdir -p "$report"
        cp -r "$logs" "$report/logs"
        for stage in after-kill after-check final; do
            [ -f "$work/$stage.manifest" ] || continue
            diff "$work/old.manifest" "$work/$stage.manifest" > "$report/$stage-vs-1.0.0.0.diff" || true
            diff "$work/new.manifest" "$work/$stage.manifest" > "$report/$stage-vs-1.1.0.0.diff" || true
        done
        [ -f "$work/backup.diff" ] && mv "$work/backup.diff" "$report/backup-vs-1.0.0.0.diff"
        outcome="$outcome (see $report)"
    fi
    rm -f "$work/final.manifest" "$work/backup.diff"
    learn_phases "$log" "$logs"/final/solupdate_*.log
    now_ms
    printf 'trial %3d %3ds  %-11s aim %-7s kill at %5d ms (%s)  phase %-7s  after kill %-13s after check %-13s final %-13s %s\n' \
        "$trial" $(((now - trial_start) / 1000)) "$kind" "$aim" "$moment" "$killed" "$phase" "$after_kill" \
        "$after_check" "$final" "$outcome"
    rm -rf "$logs"
    done_trials=$trial
done

echo
echo "summary: $done_trials trials (seed $seed, $([ "$small" = 1 ] && echo small || echo full)${plain:+ plain} sample," \
    "$markers markers; mixed(a:b) = manifest lines differing from 1.0.0.0 and from 1.1.0.0)"
echo "  kills aimed at the replace or a restore:  $aimed"
echo "  kills inside the replace or a restore:    $inside (judged from the log)"
echo "  repairs at the next start:                $repaired"
echo "  broken installations:                     $broken"
echo "  lost backups:                             $lost"
echo "  final upgrades not at 1.1.0.0:            $final_bad"
[ "${calibration_failed:-0}" = 1 ] && echo "  calibration runs without a kill failed (see above)"
if [ "$broken" -ne 0 ] || [ "$lost" -ne 0 ] || [ "$final_bad" -ne 0 ] || [ "${calibration_failed:-0}" = 1 ]; then
    exit 1
fi
exit 0

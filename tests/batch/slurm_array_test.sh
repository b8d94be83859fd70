#!/usr/bin/env bash
# Runs the README's Slurm array script, unchanged, on a one-node Slurm cluster that this test
# starts in a temp folder (munged, slurmctld and slurmd in the foreground, stopped by their
# process ids), over a fleet written by make_fleet. Checks that the three parts together equal
# one plain run file by file, and that each part's exit status is in its job's record.
# Usage: slurm_array_test.sh <tabulon> <make_fleet> <README.md>
# Exits 77 (skipped) only when Slurm cannot start here: not root, or munge or Slurm missing.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 <tabulon> <make_fleet> <README.md>" >&2
  exit 2
fi
tabulon=$(realpath "$1")
make_fleet=$(realpath "$2")
readme=$(realpath "$3")
parts=3

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

if [ "$(id -u)" -ne 0 ]; then
  skip "the one-node Slurm cluster runs its daemons as root; run as root to test the Slurm example"
fi
for tool in munged munge slurmctld slurmd sbatch sinfo scancel; do
  command -v "$tool" >/dev/null ||
    skip "$tool is not installed (scripts/setup.sh installs munge and slurm-wlm)"
done

# Nothing from a surrounding Slurm job or the caller's sbatch defaults reaches this cluster.
for name in $(compgen -e); do
  case $name in SLURM_* | SBATCH_* | SALLOC_* | SRUN_*) unset "$name" ;; esac
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tabulon-slurm.XXXXXX")
# munged accepts a socket only on a path that everyone may traverse.
chmod 755 "$work"
mkdir -p "$work"/{munge,run,state,spool,log,jobs,results}
chmod 700 "$work/munge"
munged_pid='' slurmctld_pid='' slurmd_pid='' sbatch_pid=''

# Stops a daemon this test started: TERM, then KILL after 10 s.
stop() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$?
  trap - EXIT
  stop "$sbatch_pid"
  if [ -n "$slurmctld_pid" ] && kill -0 "$slurmctld_pid" 2>/dev/null; then
    # Jobs still running (after a failure) end before the daemons do.
    scancel --quiet --user=root 2>/dev/null || true
  fi
  stop "$slurmd_pid"
  stop "$slurmctld_pid"
  stop "$munged_pid"
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
    for f in "$work"/log/* "$work"/jobs/*; do
      [ -s "$f" ] || continue
      echo "---- $f (last 30 lines)" >&2
      tail -n 30 "$f" >&2
    done
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# A TCP port below the ephemeral range that nothing listens on or uses now, other than $1.
free_port() {
  local used port
  used=$(tail -q -n +2 /proc/net/tcp /proc/net/tcp6 2>/dev/null |
    while read -r _ address _; do echo $((16#${address##*:})); done)
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % 12000))
    if [ "$port" != "${1:-}" ] && ! grep -qx "$port" <<<"$used"; then
      echo "$port"
      return 0
    fi
  done
  fail "no free TCP port found between 20000 and 32000"
}

# Polls `$@` every 0.2 s for up to $1 seconds.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 5))); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.2
  done
  return 1
}

# --- munge: a key made here, its own socket, nothing outside the temp folder.
socket=$work/run/munge.socket
head -c 1024 /dev/urandom >"$work/munge/munge.key"
chmod 600 "$work/munge/munge.key"
munged --foreground --key-file="$work/munge/munge.key" --socket="$socket" \
  --pid-file="$work/run/munged.pid" --seed-file="$work/munge/munged.seed" \
  --log-file="$work/log/munged.log" >"$work/log/munged.out" 2>&1 &
munged_pid=$!
wait_for 10 munge --socket="$socket" --no-input || fail "munged did not start"

# --- slurm.conf: this machine as the only node, with the CPUs, sockets and cores it has.
node_line=$(slurmd -C)
node_line=${node_line%%$'\n'*}
node=$(sed -E 's/^NodeName=([^ ]+) .*/\1/' <<<"$node_line")
hardware=$(sed -E 's/^NodeName=[^ ]+ //; s/ ?RealMemory=[0-9]+//' <<<"$node_line")
ctld_port=$(free_port)
slurmd_port=$(free_port "$ctld_port")
export SLURM_CONF=$work/slurm.conf
cat >"$SLURM_CONF" <<EOF
ClusterName=tabulon-test
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/run/slurmctld.pid
SlurmdPidFile=$work/run/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/filetxt
JobCompLoc=$work/jobcomp.txt
NodeName=$node NodeAddr=127.0.0.1 $hardware State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF

slurmctld -D -i >"$work/log/slurmctld.out" 2>&1 &
slurmctld_pid=$!
slurmd -D -N "$node" >"$work/log/slurmd.out" 2>&1 &
slurmd_pid=$!
node_idle() { [ "$(sinfo --noheader --nodes="$node" --format=%T)" = idle ]; }
wait_for 60 node_idle || fail "the node did not come up idle (ports $ctld_port, $slurmd_port)"

# --- The fleet, one plain run, and each part run here for its exit status.
"$make_fleet" "$work/data" || fail "make_fleet failed"
dbc=$work/data/can1.dbc
run_tabulon() {
  local status=0
  "$tabulon" --non-interactive --dbc-can1="$dbc" "$@" 2>/dev/null || status=$?
  echo "$status"
}
mkdir "$work/plain"
plain_status=$(run_tabulon --summary="$work/plain.json" -O "$work/plain" "$work/data/fleet")
declare -a expected
combined=0
failing=0
for k in $(seq "$parts"); do
  mkdir "$work/local$k"
  expected[k]=$(run_tabulon --shard="$k/$parts" -O "$work/local$k" "$work/data/fleet")
  combined=$((combined | expected[k]))
  [ "${expected[k]}" -eq 0 ] || failing=$((failing + 1))
done
# The fleet holds one damaged file, so exactly one part fails: the records below must tell the
# parts apart.
[ "$failing" -eq 1 ] || fail "expected one failing part, got statuses ${expected[*]}"
[ "$plain_status" -eq "$combined" ] ||
  fail "the plain run exited $plain_status, the parts' statuses OR to $combined"

# --- The README's script, submitted as it is.
script=$work/convert-fleet.sh
awk '/<!-- slurm-array-script/ { marked = 1; next }
     marked && /^```/ { if (inside) exit; inside = 1; next }
     inside { print }' "$readme" >"$script"
head -n 1 "$script" | grep -qx '#!/bin/sh' || fail "no marked Slurm script found in $readme"

# sbatch waits in the background, so that a TERM from the test runner is handled at once.
(cd "$work" && TABULON=$tabulon LOGS=$work/data/fleet RESULTS=$work/results DBC_CAN1=$dbc \
  exec sbatch --parsable --wait --array=1-$parts --cpus-per-task=1 \
  --output="$work/jobs/part%a.out" "$script") >"$work/log/sbatch.out" &
sbatch_pid=$!
submit_status=0
wait "$sbatch_pid" || submit_status=$?
sbatch_pid=''
job=$(head -n 1 "$work/log/sbatch.out")
job=${job%%;*}
[ -n "$job" ] || fail "sbatch printed no job id"
highest=0
for k in $(seq "$parts"); do
  [ "${expected[k]}" -le "$highest" ] || highest=${expected[k]}
done
[ "$submit_status" -eq "$highest" ] ||
  fail "sbatch --wait exited $submit_status, the highest status of the parts is $highest"

# --- Each part's exit status is in its job's record.
records=$work/jobcomp.txt
records_of_job() { grep -E "(^| )ArrayJobId=$job( |$)" "$records"; }
all_recorded() { [ "$(records_of_job | wc -l)" -eq "$parts" ]; }
wait_for 20 all_recorded || fail "the job records of array job $job are not all in $records"
for k in $(seq "$parts"); do
  record=$(records_of_job | grep -E "(^| )ArrayTaskId=$k( |$)") ||
    fail "part $k of array job $job has no record"
  exit_code=$(sed -E 's/.* ExitCode=([0-9]+:[0-9]+).*/\1/' <<<"$record")
  [ "$exit_code" = "${expected[k]}:0" ] ||
    fail "part $k: the record says ExitCode=$exit_code, the part exits ${expected[k]}: $record"
done

# --- The parts' folders together are the plain run's output, and every part converted some.
for k in $(seq "$parts"); do
  [ -n "$(find "$work/results/part$k" -type f)" ] || fail "part $k wrote no file"
done
twice=$(cd "$work/results" && for k in $(seq "$parts"); do (cd "part$k" && find . -type f); done |
  sort | uniq -d)
[ -z "$twice" ] || fail "files written by two parts: $twice"
mkdir "$work/merged"
cp -r "$work"/results/part*/. "$work/merged/"
diff -r "$work/plain" "$work/merged" || fail "the merged parts differ from the plain run"

# --- Run summaries: the README's jq command adds up the parts' summaries to the plain run's
# totals, and each part's summary has the part's exit status.
merge=$work/merge-summaries.sh
awk '/<!-- slurm-summary-merge/ { marked = 1; next }
     marked && /^```/ { if (inside) exit; inside = 1; next }
     inside { print }' "$readme" >"$merge"
grep -q '^jq ' "$merge" || fail "no marked jq command found in $readme"
for k in $(seq "$parts"); do
  [ -f "$work/results/summary$k.json" ] || fail "part $k wrote no summary"
  part_status=$(jq .status "$work/results/summary$k.json")
  [ "$part_status" -eq "${expected[k]}" ] ||
    fail "part $k: its summary says status $part_status, the part exits ${expected[k]}"
done
merged_totals=$(RESULTS=$work/results sh "$merge" | jq -S .) || fail "the jq command failed"
plain_totals=$(jq -S '.totals' "$work/plain.json")
[ "$merged_totals" = "$plain_totals" ] ||
  fail "the parts' summaries add up to $merged_totals, the plain run's totals are $plain_totals"
[ "$(jq '.totals.inputs' "$work/plain.json")" -gt 0 ] || fail "the plain run's summary is empty"

echo "PASS: $parts parts of array job $job equal the plain run; statuses ${expected[*]} recorded"

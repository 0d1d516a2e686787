#!/usr/bin/env bash
# The README's Slurm recipe, as written, on a one-node cluster made on this machine: installs
# Debian's slurm-wlm and munge, starts munged, slurmctld and slurmd with a throwaway
# configuration, submits the plan's renders as a job array and the join as a job depending on
# it, and checks the joined video against one `maskfx render`. Not part of CI (it installs and
# runs daemons as root); run by hand: tests/recipes/slurm_single_node.sh build/bin/maskfx WORKDIR
set -euo pipefail
maskfx=$(realpath "$1") work=$2
export MASK_MODULE=${MASK_MODULE:-$(dirname "$maskfx")/Mask.so}
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends slurm-wlm munge > /dev/null

host=$(hostname -s)
cpus=$(nproc)
memory=$(awk '/MemTotal/ { print int($2 / 1024) - 512 }' /proc/meminfo)
mkdir -p /etc/slurm /var/spool/slurmctld /var/spool/slurmd /var/log/slurm /run/munge
cat > /etc/slurm/slurm.conf <<CONF
ClusterName=maskfx-recipe
SlurmctldHost=$host
SlurmUser=root
AuthType=auth/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
ReturnToService=2
StateSaveLocation=/var/spool/slurmctld
SlurmdSpoolDir=/var/spool/slurmd
SlurmctldLogFile=/var/log/slurm/slurmctld.log
SlurmdLogFile=/var/log/slurm/slurmd.log
NodeName=$host CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=all Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
[ -s /etc/munge/munge.key ] || { dd if=/dev/urandom bs=1 count=1024 of=/etc/munge/munge.key 2> /dev/null; }
chown munge:munge /etc/munge/munge.key /run/munge 2> /dev/null || true
chmod 400 /etc/munge/munge.key
pgrep -x munged > /dev/null || runuser -u munge -- munged
pkill -x slurmctld || true
pkill -x slurmd || true
sleep 1
slurmctld -c -i
slurmd -c
stop() { pkill -x slurmd || true; pkill -x slurmctld || true; }
trap stop EXIT
for _ in $(seq 60); do sinfo -h -o %T 2> /dev/null | grep -q idle && break; sleep 1; done
sinfo

rm -rf "$work" && mkdir -p "$work" && cd "$work"
"$maskfx" demo -o demo > /dev/null 2>&1
PATH="$(dirname "$maskfx"):$PATH"
started=$(date +%s)

# The recipe.
maskfx plan demo/clip/frame_%04d.png -m demo/mask.json -o shot.mov --chunks 4 --threads 1 > plan.txt
parts=$(($(wc -l < plan.txt) - 1))
renders=$(sbatch --parsable --array=1-$parts --wrap 'sed -n "${SLURM_ARRAY_TASK_ID}p" plan.txt | sh')
join=$(sbatch --parsable --dependency=afterok:$renders --wrap 'tail -n 1 plan.txt | sh')

for _ in $(seq 300); do [ -z "$(squeue -h -j "$renders,$join" 2> /dev/null)" ] && break; sleep 1; done
sacct -j "$renders,$join" -o JobID,State,ExitCode 2> /dev/null || scontrol show job "$join" | grep -E "JobState|ExitCode" || true
cat slurm-"$join".out
maskfx render demo/clip/frame_%04d.png -m demo/mask.json -o one.mov > /dev/null 2>&1
digests() { ffmpeg -nostdin -v error -i "$1" -f framemd5 - | grep -v '^#'; }
if ! cmp -s <(digests one.mov) <(digests shot.mov); then
  echo "FAILED: the joined video differs from one render's"
  exit 1
fi
echo "slurm recipe passed in $(($(date +%s) - started)) s: $parts renders in an array (job $renders), the join (job $join) after them, $(digests shot.mov | wc -l) frames as one render wrote them"

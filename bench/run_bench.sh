#!/usr/bin/env bash
# Benchmark of the whole tool at scale: run_bench.sh N LATENCY_MS
# Generates a staged topology of N spoke VNets, starts the cloud emulator (loopback only) with
# --latency-ms LATENCY_MS, then measures a switch and a revert with /usr/bin/time -v and reads
# the emulator's counters after each run. Start-up to first request is measured on a dry run
# under strace (execve -> first connect()), and `--version` gives a start-up lower bound.
# Environment: BIN (default /tmp/ci-clone/build/bin), BENCH_TIMEOUT seconds per run (600),
# STARTUP_PROBE=0 skips the strace dry run (it costs one full discovery pass at large N),
# PROFILE=1 runs the switch and the revert under `perf record -g` (figures then include perf),
# SYSCALLS=1 under `strace -f -c` (a system-call count in WORK/<run>.syscalls.txt), HEAPTRACK=1
# under heaptrack (WORK/<run>.heaptrack.zst: what holds the peak of memory), CALLGRIND=1 under
# callgrind (WORK/<run>.callgrind.out: instruction counts, which the machine's load leaves alone).
# WRITE_LOG=1 keeps the emulator's write log of each run in WORK/<run>.writes.json and the account
# folders as the run left them in WORK/<run>.output (to compare two builds; etags and WORK differ).
# BARE_REQUESTS (2000) is the length of the bare-transport loop run at the end as the floor.
# PROFILE_NAME=realistic starts the emulator with --profile realistic (LATENCY_MS is then optional,
# default 0, and adds to the profile's delays), TIME_SCALE (default 1) and SEED (default 1); each
# run then also prints its wall time projected to real time.
# PARALLEL=N passes --parallel N to the switch and the revert.
# SDK_BASELINE=1 also drives the official Azure SDK for Python through the same kind of calls
# (bench/sdk_baseline.py, with /usr/bin/python3 and python3-azure) and prints its CPU per request
# and peak RSS next to the tool's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage="usage: run_bench.sh N LATENCY_MS (LATENCY_MS optional with PROFILE_NAME=realistic)"
n=${1:?$usage}
profile_name=${PROFILE_NAME:-}
time_scale=${TIME_SCALE:-1}
seed=${SEED:-1}
if [ -n "$profile_name" ]; then latency=${2:-0}; else latency=${2:?$usage}; fi
if [ -z "$profile_name" ] && [ -n "${TIME_SCALE:-}" ]; then
  echo "bench: TIME_SCALE needs PROFILE_NAME=realistic" >&2; exit 2
fi
timing=()
if [ -n "$profile_name" ]; then timing=(--profile "$profile_name" --time-scale "$time_scale" --seed "$seed"); fi
bin=${BIN:-/tmp/ci-clone/build/bin}
limit=${BENCH_TIMEOUT:-600}
tool="$bin/dm.arm.switch_traffic"

if [ ! -x /usr/bin/time ]; then
  apt-get install -y time >/dev/null 2>&1 || { apt-get update >/dev/null && apt-get install -y time >/dev/null; }
fi

work=$(mktemp -d /tmp/dm-bench-XXXXXX)
emulator_pid=
cleanup() {
  if [ -n "$emulator_pid" ]; then kill "$emulator_pid" 2>/dev/null || true; wait "$emulator_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

python3 "$here/generate_topology.py" "$n" "$work/gen"
timeout "$((2 * limit + 300))" "$bin/dm-cloud-emulator" --listen 127.0.0.1:0 --topology "$work/gen/topology.json" \
  --ready-file "$work/ready.json" --state-dir "$work/emulator" --latency-ms "$latency" "${timing[@]}" \
  >"$work/emulator.log" 2>&1 &
emulator_pid=$!
for _ in $(seq 1 600); do
  [ -s "$work/ready.json" ] && break
  kill -0 "$emulator_pid" 2>/dev/null || { cat "$work/emulator.log"; exit 1; }
  sleep 0.1
done
[ -s "$work/ready.json" ] || { echo "bench: the emulator did not start"; exit 1; }

read_ready() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$work/ready.json" "$1"; }
base_url=$(read_ready base_url)
ca_file=$(read_ready ca_file)
controller=$(read_ready controller_address)
admin() { curl -sS --max-time 30 --cacert "$ca_file" -X "$1" "$base_url/admin/$2"; }

for folder in "$work"/gen/terraform/*; do
  mkdir -p "$work/output/$(basename "$folder")"
  cp "$folder"/*.tf "$work/output/$(basename "$folder")/"
done
sed -e "s|@WORK@|$work|g" -e "s|@BASE_URL@|$base_url|g" -e "s|@CA_FILE@|$ca_file|g" \
    -e "s|@CONTROLLER@|$controller|g" "$work/gen/discovery.yaml.in" >"$work/discovery.yaml"
export DM_CTRL_PASSWORD=bench-controller-password
export DM_AZURE_CLIENT_SECRET=bench-azure-secret

echo "bench: N=$n latency=${latency}ms${profile_name:+ profile=$profile_name time-scale=$time_scale seed=$seed}${PARALLEL:+ parallel=$PARALLEL} work=$work"

# Start-up lower bound: --version does no I/O beyond loading the program.
python3 - "$tool" <<'EOF'
import subprocess, sys, time
runs = []
for _ in range(20):
    t = time.perf_counter(); subprocess.run([sys.argv[1], "--version"], stdout=subprocess.DEVNULL); runs.append(time.perf_counter() - t)
runs.sort()
print("startup --version (lower bound, 20 runs): median %.1f ms, min %.1f ms" % (runs[10] * 1000, runs[0] * 1000))
EOF

# Start to first request: a dry run under strace, execve to the first connect() (the controller login).
if [ "${STARTUP_PROBE:-1}" = 1 ] && command -v strace >/dev/null; then
  admin DELETE counters >/dev/null
  # seccomp-bpf stops the program only at the two calls traced, not at every system call.
  (cd "$work" && timeout "$limit" strace -f --seccomp-bpf -ttt -e trace=execve,connect -o "$work/strace.txt" \
     "$tool" --yaml_file "$work/discovery.yaml" --dry_run >"$work/dry_run.log" 2>&1) || true
  python3 - "$work/strace.txt" <<'EOF'
import re, sys
start = first = None
for line in open(sys.argv[1]):
    m = re.match(r"\s*\d+\s+(\d+\.\d+)\s+(\w+)\(", line)
    if not m: continue
    t, call = float(m.group(1)), m.group(2)
    if call == "execve" and start is None: start = t
    if call == "connect" and "127.0.0.1" in line and first is None: first = t
if start and first:
    print("start to first request (dry run under strace, execve -> first loopback connect): %.1f ms" % ((first - start) * 1000))
else:
    print("start to first request: not found in strace output")
EOF
fi

run() {
  local title=$1; shift
  admin DELETE counters >/dev/null
  if [ "${WRITE_LOG:-0}" = 1 ]; then admin DELETE log >/dev/null; fi
  local log="$work/logs/dm.arm.switch_traffic.log" lines=0
  [ -f "$log" ] && lines=$(wc -l <"$log")
  local status=0
  local wrap=()
  if [ "${PROFILE:-0}" = 1 ]; then wrap=(perf record -q -g -o "$work/$title.perf.data"); fi
  if [ "${SYSCALLS:-0}" = 1 ]; then wrap=(strace -f -c -o "$work/$title.syscalls.txt"); fi
  if [ "${HEAPTRACK:-0}" = 1 ]; then wrap=(heaptrack -o "$work/$title.heaptrack"); fi
  if [ "${CALLGRIND:-0}" = 1 ]; then
    wrap=(valgrind --tool=callgrind --callgrind-out-file="$work/$title.callgrind.out")
  fi
  (cd "$work" && timeout "$limit" /usr/bin/time -v -o "$work/$title.time" "${wrap[@]}" "$tool" "$@" \
     >"$work/$title.log" 2>&1) || status=$?
  admin GET counters >"$work/$title.counters.json"
  if [ "${WRITE_LOG:-0}" = 1 ]; then
    admin GET log >"$work/$title.writes.json"
    cp -r "$work/output" "$work/$title.output"
  fi
  tail -n +"$((lines + 1))" "$log" >"$work/$title.http.log"
  python3 - "$title" "$status" "$n" "$work/$title.time" "$work/$title.counters.json" \
    "$profile_name" "$time_scale" <<'EOF'
import json, re, sys
title, status, n, time_file, counters_file, profile_name, time_scale = sys.argv[1:8]
n = int(n)
t = open(time_file).read()
def field(label):
    m = re.search(re.escape(label) + r":\s*(.+)", t)
    return m.group(1).strip() if m else None
wall_text = field("Elapsed (wall clock) time (h:mm:ss or m:ss)")
parts = [float(p) for p in wall_text.split(":")]
wall = sum(p * 60 ** i for i, p in enumerate(reversed(parts)))
cpu = float(field("User time (seconds)")) + float(field("System time (seconds)"))
rss = int(field("Maximum resident set size (kbytes)"))
c = json.load(open(counters_file))
print("== %s: exit %s" % (title, status))
print("  wall %.2f s, cpu %.2f s (user %s + sys %s), cpu/wall %.2f%%, peak RSS %.1f MB"
      % (wall, cpu, field("User time (seconds)"), field("System time (seconds)"),
         100 * cpu / wall if wall else 0, rss / 1024))
kinds = ["arm_read", "arm_write", "lro_poll", "token", "resource_graph", "controller"]
print("  requests: " + ", ".join("%s %d" % (k, c.get(k, 0)) for k in kinds)
      + ", total %d (admin %d not counted)" % (c["requests_total"] - c.get("admin", 0), c.get("admin", 0)))
print("  per VNet: " + ", ".join("%s %.2f" % (k, c.get(k, 0) / n) for k in kinds)
      + ", total %.2f" % ((c["requests_total"] - c.get("admin", 0)) / n))
print("  token grants %d, TLS connections %d, faults fired %d"
      % (c["token_grants"], c["tls_connections"], c.get("faults_fired", 0)))
requests = c["requests_total"] - c.get("admin", 0)
print("  cpu/request %.2f ms" % (1000 * cpu / requests if requests else 0))
if profile_name:
    scale = float(time_scale)
    def span(seconds):
        minutes = int(round(seconds / 60))
        if minutes >= 60:
            return "%d h %d min" % (minutes // 60, minutes % 60)
        return "%d min" % minutes if minutes else "%d s" % round(seconds)
    # The tool's own CPU time does not shrink with the scale: the estimate keeps it as is and
    # scales the rest; wall / scale, which scales it too, is the upper bound.
    estimate = max(wall - cpu, 0) / scale + cpu
    print("  projected: a %d-VNet %s would take about %s against the %s profile "
          "((wall - cpu) / %s + cpu = %.0f s; wall / %s = %.0f s)"
          % (n, title, span(estimate), profile_name, time_scale, estimate, time_scale,
             wall / scale))
json.dump({"run": title, "n": n, "exit": int(status), "wall_s": wall, "cpu_s": cpu,
           "rss_mb": rss / 1024, "counters": c}, open(counters_file + ".summary", "w"))
EOF
  if [ "${BREAKDOWN:-1}" = 1 ]; then python3 "$here/request_breakdown.py" "$work/$title.http.log" "$n"; fi
}

parallel=()
if [ -n "${PARALLEL:-}" ]; then parallel=(--parallel "$PARALLEL"); fi
run switch --yaml_file "$work/discovery.yaml" "${parallel[@]}"
run revert --yaml_file "$work/discovery.yaml" --revert "${parallel[@]}"

# The floor: bare GETs of one route table over the same transport against the same emulator,
# and the tool's CPU per request against it; then against the CPU its own requests took inside
# the transport (the run's last debug line).
if [ -x "$bin/dm-bench-bare-requests" ]; then
  token=$(python3 - "$work/gen/topology.json" "$base_url" "$ca_file" <<'EOF'
import json, ssl, sys, urllib.parse, urllib.request
topology, base, ca = sys.argv[1:4]
p = json.load(open(topology))["service_principals"][0]
form = urllib.parse.urlencode({"grant_type": "client_credentials", "client_id": p["client_id"],
                               "client_secret": p["client_secret"],
                               "scope": "https://management.azure.com/.default"}).encode()
ctx = ssl.create_default_context(cafile=ca)
with urllib.request.urlopen(base + "/" + p["tenant"] + "/oauth2/v2.0/token", form, context=ctx) as r:
    print(json.load(r)["access_token"])
EOF
)
  table=$(python3 -c '
import json, sys
t = json.load(open(sys.argv[1]))
s = t["subscriptions"][0]; g = s["resourceGroups"][0]
print("/subscriptions/%s/resourceGroups/%s/providers/Microsoft.Network/routeTables/%s?api-version=2024-05-01"
      % (s["id"], g["name"], g["routeTables"][0]["name"]))' "$work/gen/topology.json")
  BENCH_TOKEN=$token timeout "$limit" "$bin/dm-bench-bare-requests" "$base_url$table" "$ca_file" \
    "${BARE_REQUESTS:-2000}" | tee "$work/bare.txt"
  python3 - "$work/bare.txt" "$work" switch revert <<'EOF'
import json, re, sys
floor = float(re.search(r"([0-9.]+) us CPU per request", open(sys.argv[1]).read()).group(1))
work = sys.argv[2]
for title in sys.argv[3:]:
    s = json.load(open("%s/%s.counters.json.summary" % (work, title)))
    c = s["counters"]
    per = 1e6 * s["cpu_s"] / (c["requests_total"] - c.get("admin", 0))
    print("%s: %.1f us CPU per request, %.2f x the bare transport's %.1f us" % (s["run"], per, per / floor, floor))
    # The tool's own debug line: the CPU its threads spent inside the transport, for its requests.
    inside = re.findall(r"transport: (\d+) request\(s\), ([0-9.]+) ms of CPU inside the transport",
                        open("%s/%s.http.log" % (work, title)).read())
    if inside:
        sent, ms = int(inside[-1][0]), float(inside[-1][1])
        own = 1e6 * s["cpu_s"] / sent
        print("%s: %d requests sent, %.1f us CPU per request in all, %.1f us of it inside the transport: %.2f x"
              % (s["run"], sent, own, 1000 * ms / sent, own / (1000 * ms / sent)))
EOF
fi

if [ "${SDK_BASELINE:-0}" = 1 ]; then
  admin DELETE counters >/dev/null
  timeout "$limit" /usr/bin/time -v -o "$work/sdk.time" /usr/bin/python3 "$here/sdk_baseline.py" \
    "$work/ready.json" "$work/gen/topology.json" "$work/sdk.json"
  admin GET counters >"$work/sdk.counters.json"
  python3 - "$work" <<'EOF'
import json, re, sys
work = sys.argv[1]
sdk = json.load(open(work + "/sdk.json"))
c = json.load(open(work + "/sdk.counters.json"))
t = open(work + "/sdk.time").read()
process_cpu = sum(float(re.search(re.escape(label) + r":\s*(\S+)", t).group(1))
                  for label in ("User time (seconds)", "System time (seconds)"))
reqs = c["requests_total"] - c.get("admin", 0)
print("  emulator counted %d requests for the SDK (token %d, lro_poll %d); whole process "
      "%.2f s CPU" % (reqs, c.get("token", 0), c.get("lro_poll", 0), process_cpu))
print("== side by side (CPU per request over every request the emulator answered)")
print("  %-8s %9s %9s %12s %12s" % ("run", "requests", "CPU s", "CPU/req ms", "peak RSS MB"))
for name in ("switch", "revert"):
    s = json.load(open("%s/%s.counters.json.summary" % (work, name)))
    n = s["counters"]["requests_total"] - s["counters"].get("admin", 0)
    print("  %-8s %9d %9.2f %12.2f %12.1f" % (name, n, s["cpu_s"], 1000 * s["cpu_s"] / n,
                                              s["rss_mb"]))
print("  %-8s %9d %9.2f %12.2f %12.1f   (SDK: work only, imports excluded)"
      % ("sdk", reqs, sdk["cpu_s"], 1000 * sdk["cpu_s"] / reqs, sdk["rss_mb"]))
EOF
fi
admin POST shutdown >/dev/null 2>&1 || true
echo "bench: logs and records in $work"

#!/usr/bin/env bash
# Uploads a 200 MB recording to a castora-devserver process, once through Castora's
# RecordingController (castora-bench-upload) and once with curl posting the same 5,000,000-byte
# chunks with the same headers to the same server process, and prints throughput as a ratio
# (target >= 0.7x) and the uploading process's peak memory growth (target < 20 MB).
#
#   bench/upload.sh [BUILD_DIR]          SIZE_MB=200 ROUNDS=4 bench/upload.sh build
#
# ROWS=1 adds the result rows that bench/run-all gathers into its table.
#
# Each round starts a fresh stand-in and uploads with both clients, taking turns at going first.
# The ratio compares the best rounds (the least disturbed by other work on the machine); the
# medians are printed beside them.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=${1:-build}
size_mb=${SIZE_MB:-200}
rounds=${ROUNDS:-4}
server_bin=$build/devserver/castora-devserver
client_bin=$build/bench/castora-bench-upload
for bin in "$server_bin" "$client_bin"; do
    [ -x "$bin" ] || { echo "upload.sh: $bin is missing; build the project first" >&2; exit 1; }
done
command -v curl >/dev/null || { echo "upload.sh: curl is needed" >&2; exit 1; }

work=$(mktemp -d /tmp/castora-bench-upload.XXXXXX)
server_pid=
cleanup() {
    bench_stop_pid "$server_pid" "the stand-in"
    rm -rf "$work"
}
trap cleanup EXIT

# The client gets folders of its own: no settings or database of the user are touched.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
    XDG_CACHE_HOME=$work/home/.cache
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$work/server" "$work/chunks"
[ -n "${XDG_RUNTIME_DIR:-}" ] || { export XDG_RUNTIME_DIR=$work/runtime; mkdir -m 700 "$XDG_RUNTIME_DIR"; }

# The stand-in keeps every request it received (bodies included), so each round gets a fresh
# one; within a round both clients talk to the same process.
start_server() {
    rm -rf "$work/server"
    bench_start_devserver "$server_bin" "$work/server"
    server_pid=$BENCH_DEVSERVER_PID
    base=$BENCH_BACKEND_URL
    token=$(bench_login "$base")
}
stop_server() {
    bench_stop_pid "$server_pid" "the stand-in"
    server_pid=
}

recording=$work/bench.mp3
head -c $((size_mb * 1000000)) /dev/urandom >"$recording"
split -b 5000000 -d -a 4 "$recording" "$work/chunks/part-"
chunks=("$work"/chunks/part-*)
total=${#chunks[@]}

# What the program does, with curl: start, every chunk in order over one connection with its
# SHA-1 (computed inside the timed part, as the client does), finish.
curl_upload() {
    local started credentials upload_token upload_url file_id i sha list config shas
    started=$(date +%s.%N)
    credentials=$(curl -fsS -H 'Accept: application/json' -H "Authorization: Bearer $token" \
        -F 'filename=bench.mp3' "$base/api/start-file-upload")
    upload_token=$(bench_field authorizationToken <<<"$credentials")
    upload_url=$(bench_field uploadUrl <<<"$credentials")
    file_id=$(bench_field fileId <<<"$credentials")
    mapfile -t shas < <(sha1sum "${chunks[@]}" | cut -d' ' -f1)
    config=$work/curl.conf
    : >"$config"
    list=
    for i in "${!chunks[@]}"; do
        sha=${shas[$i]}
        list+="${list:+,}\"$sha\""
        [ "$i" -gt 0 ] && echo 'next' >>"$config"
        cat >>"$config" <<CONF
url = "$base/api/upload-file"
fail
output = "/dev/null"
header = "Accept: application/json"
header = "Authorization: Bearer $token"
header = "Expect:"
header = "Content-Type: application/octet-stream"
header = "X-File-Name: bench.mp3"
header = "X-Part-Number: $((i + 1))"
header = "X-Total-Chunks: $total"
header = "X-Content-Sha1: $sha"
header = "X-Authorization-Token: $upload_token"
header = "X-Upload-Url: $upload_url"
header = "X-Start: $([ "$i" -eq 0 ] && echo 1 || echo 0)"
header = "X-End: $([ "$i" -eq $((total - 1)) ] && echo 1 || echo 0)"
data-binary = "@${chunks[$i]}"
CONF
    done
    curl -sS -K "$config"
    curl -fsS -o /dev/null -H 'Accept: application/json' -H "Authorization: Bearer $token" \
        -F "authorizationToken=$upload_token" -F "fileId=$file_id" -F "partSha1Array=[$list]" \
        "$base/api/finish-file-upload"
    awk -v a="$(date +%s.%N)" -v b="$started" 'BEGIN { printf "%.3f\n", a - b }'
}

client_upload() {
    "$client_bin" --backend "$base" --file "$recording" 2>"$work/client.log" ||
        { cat "$work/client.log" >&2; exit 1; }
}

# Each stored upload is checked against the recording, then removed to keep the disk free.
check_stored() {
    local stored
    stored=$(find "$work/server/uploads" -name bench.mp3 -type f)
    [ "$(echo "$stored" | wc -l)" = 1 ] && cmp -s "$stored" "$recording" ||
        { echo "upload.sh: the stored upload differs from the recording" >&2; exit 1; }
    rm -rf "$work/server/uploads"
}

curl_times=()
client_times=()
worst_growth=0
for round in $(seq 1 "$rounds"); do
    start_server
    # Whoever goes second finds a server that has already taken one upload: take turns.
    if [ $((round % 2)) = 1 ]; then
        t=$(curl_upload); check_stored
        line=$(client_upload); check_stored
    else
        line=$(client_upload); check_stored
        t=$(curl_upload); check_stored
    fi
    stop_server
    t_client=$(sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line")
    [ -n "$t_client" ] || { echo "upload.sh: the client reported nothing" >&2; exit 1; }
    growth=$(sed -n 's/.*peak_growth_kb=\(-\?[0-9]*\).*/\1/p' <<<"$line")
    printf 'round %d: curl %.3f s, RecordingController %.3f s, peak growth %s kB\n' \
        "$round" "$t" "$t_client" "$growth" >&2
    curl_times+=("$t")
    client_times+=("$t_client")
    [ "$growth" -gt "$worst_growth" ] && worst_growth=$growth
done

python3 - "$size_mb" "$worst_growth" "${curl_times[*]}" "${client_times[*]}" "${ROWS:-0}" <<'PY'
import statistics, sys
size_mb, growth_kb = int(sys.argv[1]), int(sys.argv[2])
rows = sys.argv[5] == "1"
curl = [float(t) for t in sys.argv[3].split()]
client = [float(t) for t in sys.argv[4].split()]
growth_mb = growth_kb / 1000
print(f"Upload of a {size_mb} MB recording in 5,000,000-byte chunks, {len(curl)} rounds")
print(f"{'':<28}{'best s':>8}{'MB/s':>8}{'ratio':>7}{'median s':>10}{'MB/s':>8}{'ratio':>7}")
def row(name, times):
    best, median = min(times), statistics.median(times)
    best_ratio, median_ratio = min(curl) / best, statistics.median(curl) / median
    print(f"{name:<28}{best:>8.3f}{size_mb / best:>8.1f}{best_ratio:>7.2f}"
          f"{median:>10.3f}{size_mb / median:>8.1f}{median_ratio:>7.2f}")
    return best_ratio
row("curl, same chunks/headers", curl)
ratio = row("RecordingController", client)
print(f"throughput ratio (best rounds): {ratio:.2f}   target >= 0.70  {'ok' if ratio >= 0.7 else 'MISSED'}")
print(f"peak memory growth of the uploading process: {growth_mb:.1f} MB   target < 20 MB  "
      f"{'ok' if 0 <= growth_mb < 20 else 'MISSED'}")
if rows:
    # measure, Castora, baseline, baseline's value, ratio, target (see bench/BenchSupport.h)
    best_curl, best_client = min(curl), min(client)
    print("\t".join(["ROW",
        f"Upload throughput, {size_mb} MB in 5,000,000-byte chunks to the stand-in "
        f"(ratio: Castora / curl, higher is better; best of {len(curl)} rounds)",
        f"{size_mb / best_client:.1f} MB/s", "curl posting the same chunks and headers",
        f"{size_mb / best_curl:.1f} MB/s", f"{best_curl / best_client:.2f}", ">= 0.70"]))
    print("\t".join(["ROW", "Peak memory growth of the uploading process (no baseline)",
        f"{growth_mb:.1f} MB", "", "", "", "< 20 MB"]))
PY

# shellcheck shell=bash
# Shell helpers shared by the benchmark scripts (sourced, not run): stopping a process we
# started, the stand-in backend as a process of its own, signing in to it, the channel's mount.

# bench_stop_pid PID [NAME]: TERM, up to 5 s to exit, then KILL; waits for it when it is our
# child.
bench_stop_pid() {
    local pid=$1 name=${2:-process $1} _
    [ -n "$pid" ] || return 0
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "bench: $name did not stop, killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    wait "$pid" 2>/dev/null || true
}

# bench_start_devserver BINARY DATA_DIR [ARGS...]: starts castora-devserver on free ports
# (HTTP and chat) with its data in DATA_DIR; sets BENCH_DEVSERVER_PID, BENCH_BACKEND_URL and
# BENCH_CHAT_URL. Its output goes to DATA_DIR.log.
bench_start_devserver() {
    local binary=$1 data=$2 _
    shift 2
    local args=(--port 0 --data "$data" "$@")
    "$binary" --help | grep -q -- --chat-port && args+=(--chat-port 0)
    mkdir -p "$data"
    : >"$data.log"
    "$binary" "${args[@]}" >"$data.log" 2>&1 &
    BENCH_DEVSERVER_PID=$!
    BENCH_BACKEND_URL=
    for _ in $(seq 1 100); do
        BENCH_BACKEND_URL=$(sed -n 's/^castora-devserver listening on //p' "$data.log")
        [ -n "$BENCH_BACKEND_URL" ] && break
        kill -0 "$BENCH_DEVSERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$BENCH_BACKEND_URL" ]; then
        cat "$data.log" >&2
        echo "bench: the stand-in backend did not start" >&2
        return 1
    fi
    # shellcheck disable=SC2034 # for the caller
    BENCH_CHAT_URL=$(grep -o -m1 'ws://127\.0\.0\.1:[0-9]*[^ ]*' "$data.log" || true)
}

# bench_field NAME: a string field of the stand-in's compact JSON answers (standard input).
bench_field() {
    sed -n "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p"
}

# bench_login BACKEND_URL: signs in as the demo user; prints the bearer token.
bench_login() {
    curl -fsS -H 'Content-Type: application/json' -H 'Accept: application/json' \
        -d '{"email":"demo@castora.local","password":"castora"}' "$1/api/auth/login" |
        bench_field token
}

# bench_mount BACKEND_URL TOKEN: the mount point of the signed-in user's channel.
bench_mount() {
    curl -fsS -H 'Accept: application/json' -H "Authorization: Bearer $2" \
        "$1/api/channel/user-channel" | bench_field uuid
}

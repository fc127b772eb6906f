# Sourced by the check scripts: probe_watch DIR OUT PID makes new files in
# DIR until the line of one shows in the file OUT, which a watcher started as
# PID writes, within a deadline (the watch is set up only after it starts).
# Returns 1 when no line came or the watcher ended.
probe_watch() {
    local dir=$1 out=$2 pid=$3 i
    for i in $(seq 1 200); do
        kill -0 "$pid" 2>/dev/null || return 1
        touch "$dir/probe$i"
        grep -q "^SHCNE_CREATE('$dir/probe[0-9]*', '')\$" "$out" && return 0
        sleep 0.1
    done
    return 1
}

#!/bin/sh
# profile-run.sh ORVANE DATA: the run that the release build is optimized
# for. ORVANE, a build instrumented with -fprofile-generate=DATA, watches a
# scratch folder while files there are made, written, renamed and removed,
# one at a time with a pause between, as a folder changes in everyday use,
# and then in a burst; the watch starts on a tree of a thousand folders. So
# the final build is laid out for the way from one event to its line, and
# the walk and the burst are not taken for rare paths.
# A run that cannot watch leaves DATA empty; the final build is then merely
# not profile-optimized, which this says, and the build goes on.
set -u
orvane=$1
data=$2
rm -rf "$data"
mkdir -p "$data"
if ! dir=$(mktemp -d); then
    echo "profile-run.sh: no scratch folder; the build is not profile-optimized" >&2
    exit 0
fi
out="$dir.out"
trap 'rm -rf "$dir" "$out"' EXIT
# A tree for the start-up's walk: a thousand folders, ten below each of a hundred.
mkdir "$dir/tree"
top=0
while [ "$top" -lt 100 ]; do
    set --
    leaf=0
    while [ "$leaf" -lt 10 ]; do
        set -- "$@" "$dir/tree/t$top/l$leaf"
        leaf=$((leaf + 1))
    done
    mkdir -p "$@"
    top=$((top + 1))
done

"$orvane" "$dir" >"$out" 2>/dev/null &
pid=$!

# True once a line naming $1 was printed; false after about ten seconds, or
# once the watch has ended.
seen() {
    tries=0
    while ! grep -q "$1" "$out" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -le 200 ] && kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.05
    done
}

# The watch is armed once a file made in the folder is told: one is made
# every twentieth of a second until one is.
armed=no
tries=0
while [ "$tries" -lt 200 ] && kill -0 "$pid" 2>/dev/null; do
    : >"$dir/armed$tries"
    sleep 0.05
    if grep -q armed "$out"; then
        armed=yes
        break
    fi
    tries=$((tries + 1))
done

if [ "$armed" = yes ]; then
    mkdir "$dir/sub"
    n=0
    while [ "$n" -lt 400 ]; do
        : >"$dir/f$n"
        sleep 0.001
        echo x >>"$dir/sub/g$n"
        sleep 0.001
        mv "$dir/f$n" "$dir/r$n"
        sleep 0.001
        [ $((n % 4)) -eq 0 ] && mkdir "$dir/d$n" && sleep 0.001 && rmdir "$dir/d$n"
        rm -f "$dir/r$n"
        sleep 0.001
        n=$((n + 1))
    done
    # A burst, read many events at a time, as when a program unpacks a tree.
    mkdir "$dir/burst"
    n=0
    while [ "$n" -lt 3000 ]; do
        : >"$dir/burst/b$n"
        n=$((n + 1))
    done
    rm -r "$dir/burst"
    : >"$dir/last"
    seen "last'" || true
fi
# Ctrl+C ends the watch promptly, and the record is written as it ends; a
# watch that did not end would otherwise hold the build.
kill -INT "$pid" 2>/dev/null
tries=0
while kill -0 "$pid" 2>/dev/null && [ "$tries" -lt 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
kill -KILL "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

if [ "$armed" != yes ]; then
    echo "profile-run.sh: the instrumented tool never reported a change; the build is not profile-optimized" >&2
elif [ -z "$(find "$data" -name '*.gcda' -print 2>/dev/null | head -n 1)" ]; then
    echo "profile-run.sh: the profile run recorded nothing; the build is not profile-optimized" >&2
fi
exit 0

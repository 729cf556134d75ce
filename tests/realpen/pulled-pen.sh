#!/bin/bash
# Runs in the real-stack guest (../shared/tools/realpen/run-guest.sh --image IMG --in-place):
# the real install, renumber or removal on the mounted vfat pen, with the pen pulled. The host
# reads IMG with mtools afterwards.
#   pulled-pen.sh DRIVER after-install SOURCE BOOK     install, pull as soon as it says done
#   pulled-pen.sh DRIVER after-renumber CURRENT NEW    renumber a .dar, pull as soon as done
#   pulled-pen.sh DRIVER during-install SOURCE BOOK SECONDS   pull while the copy runs, replug
#   pulled-pen.sh DRIVER during-renumber SOURCE MS...  for each delay: renumber 100.dar <-> 200.dar,
#                                                      pull MS ms after it starts, replug, check
#   pulled-pen.sh DRIVER during-removal SOURCE MS...   for each delay: install 301.dar, 302.dar, ...
#                                                      and remove it, pulling MS ms after the start
# The sweeps check after each replug that the package is under exactly one of its names
# (renumber) or whole or absent (removal), byte for byte past its header, that nothing said
# "done" that is not so on the pen, and that the next scan leaves no temporary copy. Exit
# status 1 when any check failed.
set -u
DRIVER=$1 MODE=$2
DIR="/media/MY PEN/USER/CUSTOM/"

# The package folder of the pen as mounted now (a replug may mount it elsewhere).
pen_dir() { (. /run/pen.env && printf '%s/USER/CUSTOM/' "$REALPEN_MNT"); }

# Plugs the pen back in where it was: the stale mount of the pulled pen goes first.
replug() {
    local mnt
    udevadm settle -t 10 # the driver pulled the pen itself
    mnt=$(. /run/pen.env && printf '%s' "$REALPEN_MNT")
    umount -l "$mnt" 2>/dev/null
    pen-plug >/dev/null 2>&1 || echo "pen-plug failed"
}

# Whole: the same size and bytes as the source past the header fields the program writes.
whole() { cmp -s -i 512 "$SOURCE" "$1"; }

failures=0
verdict() { # CHECKS...: each a message for a failed check, empty when it held
    local bad=""
    for c in "$@"; do [ -n "$c" ] && bad+=" [$c]"; done
    if [ -n "$bad" ]; then
        failures=$((failures + 1))
        echo "  FAILED:$bad"
    else
        echo "  ok"
    fi
}

# Scans the replugged pen (which removes stale temporary copies) and lists what is there.
after_replug() {
    local dir
    dir=$(pen_dir)
    scan=$(timeout 60 "$DRIVER" scan "$dir" 2>&1) || scan+=" (scan exit $?)"
    listing=$(ls -a "$dir" 2>&1 | grep -v '^\.\.\?$' | tr '\n' ' ')
    leftovers=$(ls -a "$dir" 2>/dev/null | grep -c '^\.penshelf-')
    echo "  after replug: $listing"
    echo "  scan: $(printf '%s' "$scan" | tr '\t\n' ' |')"
}

sweep_renumber() {
    local d dir cur new out status names
    for d in "$@"; do
        dir=$(pen_dir)
        if [ -e "${dir}100.dar" ]; then cur=100 new=200
        elif [ -e "${dir}200.dar" ]; then cur=200 new=100
        else
            cur=100 new=200
            "$DRIVER" install "$SOURCE" "$dir" 100 0000 >/dev/null || echo "  set-up install failed"
        fi
        echo "delay $d ms: renumber $cur -> $new"
        out=$(PENSHELF_PULL_AFTER_MS=$d timeout 60 "$DRIVER" renumber "$dir" "$dir$cur.dar" D dab $cur $new 0123 2>/tmp/pull-times)
        status=$?
        echo "  said: $out (exit $status); $(cat /tmp/pull-times)"
        replug
        after_replug
        dir=$(pen_dir)
        names=0
        for n in $cur $new; do [ -e "$dir$n.dar" ] && names=$((names + 1)); done
        local present=$new
        [ -e "$dir$cur.dar" ] && present=$cur
        verdict "$([ $status = 124 ] && echo "the renumber hung")" \
            "$([ $names != 1 ] && echo "the package is under $names names")" \
            "$([ $names = 1 ] && ! whole "$dir$present.dar" && echo "$present.dar is not the whole package")" \
            "$([ $status = 0 ] && [ $present = $cur ] && echo "said done, but the package has its old name")" \
            "$([ "$leftovers" != 0 ] && echo "$leftovers temporary copies left")"
    done
}

sweep_removal() {
    local d dir out status n=300
    for d in "$@"; do
        n=$((n + 1))
        dir=$(pen_dir)
        "$DRIVER" install "$SOURCE" "$dir" $n 0000 >/dev/null || echo "  set-up install of $n.dar failed"
        echo "delay $d ms: remove $n.dar"
        local before
        before=$(dmesg | wc -l)
        out=$(PENSHELF_PULL_AFTER_MS=$d timeout 60 "$DRIVER" remove "$dir" "$dir$n.dar" 2>/tmp/pull-times)
        status=$?
        echo "  said: $out (exit $status); $(cat /tmp/pull-times)"
        replug
        after_replug
        dir=$(pen_dir)
        local was=$failures
        verdict "$([ $status = 124 ] && echo "the removal hung")" \
            "$([ -e "$dir$n.dar" ] && ! whole "$dir$n.dar" && echo "$n.dar is there but not whole")" \
            "$([ $status = 0 ] && [ -e "$dir$n.dar" ] && echo "said done, but $n.dar is back")" \
            "$([ "$leftovers" != 0 ] && echo "$leftovers temporary copies left")"
        if [ $failures != $was ]; then
            dmesg | tail -n +$((before + 1)) | grep -i 'fat' | sed 's/^/  kernel: /' | head -5
            echo "  stopping: what follows would run on a damaged file system"
            break
        fi
    done
}

case "$MODE" in
after-install)
    "$DRIVER" install "$3" "$DIR" "$4" 0150 && pen-unplug && echo "pulled after: done" ;;
after-renumber)
    "$DRIVER" renumber "$DIR" "$DIR$3.dar" D dab "$3" "$4" 0123 && pen-unplug && echo "pulled after: done" ;;
during-install)
    ( timeout 120 "$DRIVER" install "$3" "$DIR" "$4" 0000; echo "install exit status $?" ) &
    sleep "$5"
    pen-unplug && echo "pulled during the install"
    wait
    pen-plug >/dev/null 2>&1
    echo "after replug:"
    ls -la /media/MY\ PEN*/USER/CUSTOM/ 2>&1
    ;;
during-renumber | during-removal)
    SOURCE=$3
    shift 3
    if [ "$MODE" = during-renumber ]; then sweep_renumber "$@"; else sweep_removal "$@"; fi
    echo "$failures of $# pulls failed a check"
    [ $failures = 0 ]
    ;;
esac

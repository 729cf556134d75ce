#!/bin/bash
# Runs in the real-stack guest (../shared/tools/realpen/run-guest.sh --image IMG --in-place):
# one install or renumber through the real code on the mounted vfat pen, then the pen pulled.
# The host reads IMG with mtools afterwards.
#   pulled-pen.sh DRIVER after-install SOURCE BOOK     install, pull as soon as it says done
#   pulled-pen.sh DRIVER after-renumber CURRENT NEW    renumber a .dar, pull as soon as done
#   pulled-pen.sh DRIVER during-install SOURCE BOOK SECONDS   pull while the copy runs, replug
set -u
DRIVER=$1 MODE=$2
DIR="/media/MY PEN/USER/CUSTOM/"
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
esac

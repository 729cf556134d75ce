#!/usr/bin/python3
"""Runs a command in the guest with a pen plugged in and mounted as a desktop would, for work
outside the scenarios (benchmarks, trying things by hand):
  tests/kernel/boot.sh [--share DIR] -- tests/kernel/guest/with-pen.py [--no-mount] BACKING -- CMD...
BACKING is a FAT image or a block device (a dm device over a loop device of an image, say).
CMD sees PEN_DEV (the node holding the file system), PEN_MOUNT (the mount point, unless
--no-mount) and PEN_GADGET (the gadget's configfs folder: writing a newline to its UDC file
pulls the pen). The pen is pulled (unmounted first) when CMD ends; the exit status is CMD's."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kpen import Pen, run  # noqa: E402

args = sys.argv[1:]
mount = True
if args and args[0] == '--no-mount':
    mount, args = False, args[1:]
if len(args) < 3 or args[1] != '--':
    print(__doc__.strip(), file=sys.stderr)
    sys.exit(2)
backing, command = os.path.abspath(args[0]), args[2:]
pen = Pen(1, backing).plug()
env = dict(os.environ, PEN_DEV=pen.dev, PEN_GADGET=pen.gadget)
if mount:
    env['PEN_MOUNT'] = pen.mount()
status = subprocess.run(command, env=env).returncode
if pen.mountpoint and os.path.ismount(pen.mountpoint):
    run('umount', pen.mountpoint, check=False)
pen.unplug()
sys.exit(status)

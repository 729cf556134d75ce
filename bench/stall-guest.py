#!/usr/bin/python3
"""In the real-kernel guest, booted with udisks (the eject goes through it): the stall benchmark
over a pen whose every read and write of its medium is delayed (device-mapper `delay` between
the pen's image and its gadget), RUNS times, each on a fresh image, then once over the same pen
undelayed. The benchmark plugs the pen itself, with this script's --plug as its plug command.
  bench/stall-guest.py BENCH WORKDIR RUNS DELAY_MS PACKAGES
  bench/stall-guest.py --plug      (plugs pen 1 and mounts it where a desktop would)"""
import os
import shlex
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'kernel', 'guest'))
from kpen import DelayDisk, Image, Pen, run, settle  # noqa: E402

MOUNT = '/media/MY PEN'  # the label of the image, under /media as the plug mounts it
LUN = 'functions/mass_storage.0/lun.0/file'


def plug():
    # The gadget and its backing are set up by the main run.
    pen = Pen(1, None).plug()
    print(f'plugged: {pen.dev} mounted at {pen.mount(MOUNT)}', flush=True)


def content_files(folder):
    files = {}
    for top, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(top, name), 'rb') as source:
                files[os.path.relpath(os.path.join(top, name), folder)] = source.read()
    return files


def main(bench, work, runs, delay, packages):
    os.makedirs(work, exist_ok=True)
    content = os.path.join(work, 'content')
    run(bench, '--make-content', content, '--packages', str(packages))
    files = content_files(content)
    image_path = os.path.join(work, 'pen.img')
    run('modprobe', 'dm_delay')
    pen = Pen(1, '')
    plug_command = f'{shlex.quote(sys.executable)} {shlex.quote(os.path.abspath(__file__))} --plug'
    env = dict(os.environ, QT_QPA_PLATFORM=os.environ.get('QT_QPA_PLATFORM', 'offscreen'))

    def bench_on(backing):
        pen._write(LUN, backing)
        try:
            status = subprocess.run([bench, '--plug-command', plug_command, '--mount-point', MOUNT, '--packages',
                                     str(packages)], env=env, timeout=1800).returncode
        except subprocess.TimeoutExpired:
            print('the benchmark did not end within 30 minutes', flush=True)
            status = 124
        if os.path.ismount(MOUNT):
            run('umount', MOUNT, check=False)
        pen.unplug()
        pen._write(LUN, '\n')  # lets go of the backing
        settle()
        return status

    failed = 0
    for number in range(1, runs + 1):
        print(f'=== run {number}: every I/O of the pen delayed by {delay} ms', flush=True)
        Image(image_path, files=files)
        slow = DelayDisk(f'slow{number}', image_path, delay)
        failed |= bench_on(slow.path) != 0
        slow.close()
    print('=== the same pen without delay', flush=True)
    Image(image_path, files=files)
    failed |= bench_on(image_path) != 0
    return 1 if failed else 0


if __name__ == '__main__':
    if sys.argv[1:] == ['--plug']:
        plug()
    elif len(sys.argv) == 6:
        sys.exit(main(os.path.abspath(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4]),
                      int(sys.argv[5])))
    else:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)

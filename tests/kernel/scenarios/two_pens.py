#!/usr/bin/python3
"""Two pens and udisks2, the program's window open throughout: a whole-disk pen and a
partitioned one mounted through udisks2 before it starts; the second chosen, installed to,
the first pulled meanwhile; the chosen one ejected while a file on it is open, then again once
it is closed; a pen nobody mounted, mounted by the program through udisks2.
  two_pens.py EVIDENCE_DIR BUILD_DIR [SCENARIO...]   (default: all, in order)"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'guest'))
from kpen import Image, Pen, mountpoint_of, package_bytes, wait_until  # noqa: E402
from suite import HEADER, PENS, GuiBoot, check, package_difference, source  # noqa: E402
from texts import EJECT_FAILED, EJECTED, NO_PEN, custom  # noqa: E402

boot = GuiBoot(__doc__)
program = boot.program
SERIAL1, SERIAL2 = 'PENONE00001', 'PENTWO00002'
SOURCE = source('second.dab', '第二支笔的书', 2 * 1024 * 1024 + 5, 7)

image1 = Image(f'{PENS}/one.img', label='PEN ONE', serial=SERIAL1, volid='1111AAAA',
               files={'USER/CUSTOM/001.dar': package_bytes('第一支笔', 4096, 1)})
image2 = Image(f'{PENS}/two.img', label='PEN TWO', serial=SERIAL2, volid='2222BBBB', partitioned=True,
               files={'USER/CUSTOM/005.dar': package_bytes('第二支笔', 4096, 5)})
pen1 = Pen(1, image1.path, serial='SERIALONE01')
pen2 = Pen(2, image2.path, serial='SERIALTWO02')


def stickers():
    return [row[1] for row in program.rows()]


def listed():
    return [item for item in program.pens() if item != NO_PEN]


def both_at_start(log):
    for pen in (pen1, pen2):
        pen.plug()
        log(pen.mount_udisks())
    program.start(log)
    program.wait(lambda: len(listed()) == 2, lambda: f'two pens listed (listed: {program.pens()})')
    # The selector starts on the first disk, the whole-disk pen.
    program.wait(lambda: program.serial() == SERIAL1 and stickers() == [custom('001')],
                 lambda: f'the first pen shown (serial {program.serial()!r}, rows {program.rows()})')
    program.shot('both-listed')
    return (f'{pen1.dev} (whole disk) and {pen2.dev} (partition) listed: {program.pens()}; '
            f'the first shows serial {SERIAL1} and its package 001')


def chosen_installed_other_pulled(log):
    program.choose_pen(1, SERIAL2)
    program.wait(lambda: stickers() == [custom('005')], 'the second pen\'s package listed')
    message = program.install(SOURCE.path, '042')
    check(message is None, f'the install dialog stayed open saying {message!r}')
    program.wait(lambda: sorted(stickers()) == [custom('005'), custom('042')], 'the install listed on the chosen pen')
    pen1.unplug()
    log('pen 1, not selected, pulled')
    program.wait(lambda: len(listed()) == 1, 'one pen left')
    # (each read waits: the window may be busy a while with the pulled pen)
    serial = program.wait(lambda: program.serial(), 'the serial shown')
    check(serial == SERIAL2, f'the selector now shows serial {serial!r}')
    rows = program.wait(lambda: program.rows(), 'the rows shown')
    check(sorted(row[1] for row in rows) == [custom('005'), custom('042')], f'rows after the other pen went: {rows}')
    program.shot('other-pulled')
    pen1.drop_stale_mount()
    check('042.dar' not in image1.listing(), f'the pen not chosen got the install: {image1.listing()}')
    return f'pen 2 chosen (serial {SERIAL2}), 042 installed to it; pen 1 pulled, pen 2 still chosen with {stickers()}'


def busy_eject_then_retry(log):
    mountpoint = pen2.mountpoint
    holder = subprocess.Popen(['bash', '-c', 'exec 3<"$1"; read -r _ < /dev/stdin', 'hold',
                               os.path.join(mountpoint, 'USER/CUSTOM/005.dar')], stdin=subprocess.PIPE)
    try:
        program.eject()
        program.wait_message(EJECT_FAILED, 600)
        program.wait(lambda: len(listed()) == 1 and program.serial() == SERIAL2, 'the pen still listed after the failed eject')
        check(os.path.ismount(mountpoint), 'the pen was unmounted although the eject failed')
        program.shot('eject-busy')
        log('eject refused while a file is open; closing it')
    finally:
        holder.communicate(b'\n', timeout=30)
    program.wait(lambda: program.message() == EJECT_FAILED, 'the message to stay')
    program.eject()
    program.wait_message(EJECTED, 600)
    program.wait(lambda: program.pens() == [NO_PEN], 'the ejected pen gone from the selector')
    program.shot('ejected')
    check(not os.path.ismount(mountpoint), f'{mountpoint} is still mounted')
    wait_until(lambda: not os.path.exists(pen2.dev), f'{pen2.dev} gone after the power-off', 300)
    differs = package_difference(SOURCE.bytes, image2, 'USER/CUSTOM/042.dar', past=HEADER)
    check(not differs, f'042.dar on the ejected pen is not the whole package: it {differs}')
    clean, report = image2.fsck()
    check(clean, f'fsck.fat after the eject: {report}')
    return (f'{EJECT_FAILED} while 005.dar was held open, the pen stayed listed and mounted; the retry said '
            f'{EJECTED}, {pen2.dev} unmounted and powered off; 042.dar whole on its medium, fsck clean')


def mounted_by_program(log):
    pen1.plug()
    log(f'pen 1 back as {pen1.dev}, nobody mounts it')
    program.wait(lambda: stickers() == [custom('001')], lambda: f'its package listed (rows {program.rows()})', 600)
    where = mountpoint_of(pen1.dev)
    check(where is not None, f'{pen1.dev} is not mounted')
    with open('/run/mount/utab') as utab:
        helper = [line for line in utab if 'uhelper=udisks2' in line]
    check(helper, 'udisks2 did not record the mount')
    program.shot('mounted-by-program')
    return f'{pen1.dev} mounted through udisks2 at {where} by the program, its package listed'


with boot:
    boot.run([
        ('two-pens-at-start', both_at_start),
        ('chosen-pen-installed-other-pulled', chosen_installed_other_pulled),
        ('busy-eject-then-retry', busy_eject_then_retry),
        ('unmounted-pen-mounted-through-udisks', mounted_by_program),
    ])

#!/usr/bin/python3
"""Two pens and udisks2, the program's window open throughout: a whole-disk pen and a
partitioned one mounted through udisks2 before it starts; the second chosen, installed to,
the first pulled meanwhile; the chosen one ejected while a file on it is open, then again once
it is closed; a pen nobody mounted, mounted by the program through udisks2. Then a slow pen in
the second slot: a copy to it while the window keeps answering, and a restore onto it that an
eject pressed meanwhile waits for.
  two_pens.py EVIDENCE_DIR BUILD_DIR [SCENARIO...]   (default: all, in order)"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'guest'))
from kpen import DelayDisk, Image, Pen, mountpoint_of, package_bytes, run, wait_until  # noqa: E402
from suite import BOOKS, HEADER, PENS, GuiBoot, check, package_difference, source, write_file  # noqa: E402
from texts import (CHOOSE_BACKUP_FOLDER, CLOSE, COPY, EJECT, EJECT_FAILED, EJECT_WAITING, EJECTED, NO_PEN,  # noqa: E402
                   RESTORE, TRANSFER_COUNTS, custom, fill)

boot = GuiBoot(__doc__)
program = boot.program
SERIAL1, SERIAL2, SLOW_SERIAL = 'PENONE00001', 'PENTWO00002', 'PENSLOW0003'
DRIVER = boot.built('tests', 'penshelf_pendrive')
# Every read and write of a slow pen's medium waits this long; for the copy longer, so that any
# of its I/O done on the window's thread would stop the window that long.
DELAY_MS = 300
COPY_DELAY_MS = 1000
# Seconds the window may take to answer one read while a slow pen works; twice its longest answer
# before, when that is more (an emulated processor on a loaded machine is slow).
ANSWER_BOUND = 2.0
SOURCE = source('second.dab', '第二支笔的书', 2 * 1024 * 1024 + 5, 7)

image1 = Image(f'{PENS}/one.img', label='PEN ONE', serial=SERIAL1, volid='1111AAAA',
               files={'USER/CUSTOM/001.dar': package_bytes('第一支笔', 4096, 1)})
image2 = Image(f'{PENS}/two.img', label='PEN TWO', serial=SERIAL2, volid='2222BBBB', partitioned=True,
               files={'USER/CUSTOM/005.dar': package_bytes('第二支笔', 4096, 5)})
pen1 = Pen(1, image1.path, serial='SERIALONE01')
pen2 = Pen(2, image2.path, serial='SERIALTWO02')
disks = []


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


def slow_second_pen(name, image, log, delay_ms=DELAY_MS):
    """Pen 2 (the gadget of the second slot) serves `image` behind a delay on every read and
    write, plugged in and mounted through udisks2, listed beside pen 1."""
    disk = DelayDisk(name, image.path, delay_ms)
    disks.append(disk)
    pen2.serve(disk.path)
    pen2.plug()
    log(pen2.mount_udisks())
    program.wait(lambda: len(listed()) == 2, lambda: f'two pens listed (listed: {program.pens()})', 600)
    return disk


def let_go(disk):
    """Pulls pen 2 and takes its delay away: the image is then read as is."""
    pen2.serve('')
    disk.close()
    disks.remove(disk)


def copy_to_slow_pen_window_answers(log):
    """A package copied from pen 1 to a slow pen 2: while the pen chooser and then the copy's
    window are up, the main window answers each read of its selector within the bound."""
    if not mountpoint_of(pen1.dev):
        log(pen1.mount_udisks())
    book = package_bytes('复制到慢笔的书', 8 * 1024 * 1024 + 11, 11)
    write_file(os.path.join(mountpoint_of(pen1.dev), 'USER/CUSTOM/003.dar'), book)
    os.sync()
    target = Image(f'{PENS}/slow-copy.img', label='SLOW PEN', serial=SLOW_SERIAL, volid='3333CCCC')
    disk = slow_second_pen('slowcopy', target, log, COPY_DELAY_MS)
    program.choose_serial(SERIAL1)
    program.press_refresh()
    program.wait(lambda: sorted(stickers()) == [custom('001'), custom('003')],
                 lambda: f'pen 1 listed with 003 (rows {program.rows()})', 600)
    program.select_row('003')
    answers = {'idle': [program.answer_time() for _ in range(5)], 'chooser': [], 'copy': []}
    program.press(COPY)

    def answered_while(phase, probe):
        answers[phase].append(program.answer_time())
        return probe()
    chooser = program.wait(lambda: answered_while('chooser', lambda: program.shown(COPY)), 'the pen chooser', 600)
    for _ in range(5):
        answers['chooser'].append(program.answer_time())
    program.shot('chooser')
    program.accept(chooser)
    started = time.monotonic()
    window = program.wait(lambda: answered_while('copy', program.transfer_shown), 'the copy\'s window', 600)
    summary = program.wait(lambda: answered_while('copy', lambda: program.transfer_summary(window)),
                           'the copy\'s summary', 900)
    took = time.monotonic() - started
    program.shot('copied')
    program.press(CLOSE, window)
    longest = {phase: max(times) for phase, times in answers.items() if times}
    bound = max(ANSWER_BOUND, 2 * longest['idle'])
    figures = ', '.join(f'{phase} {len(answers[phase])} reads, longest {longest[phase]:.2f} s' for phase in answers)
    log(f'answer times: {figures}; bound {bound:.2f} s; the copy took {took:.1f} s; summary: {summary!r}')
    during = max(longest['chooser'], longest['copy'])
    check(during < bound, f'the window took up to {during:.2f} s to answer, more than {bound:.2f} s ({figures})')
    check(took > 2 * bound, f'the copy took only {took:.1f} s: too quick to tell a window that waits for it '
          f'from one that answers within {bound:.2f} s')
    check(fill(TRANSFER_COUNTS, 1, 0, 0) in summary, f'the copy\'s summary: {summary!r}')
    let_go(disk)
    differs = package_difference(book, target, 'USER/CUSTOM/003.dar')
    check(not differs, f'003.dar on the slow pen {differs}')
    listing = target.listing(hidden=True)
    clean, report = target.fsck()
    check(listing == ['003.dar'] and clean, f'on the slow pen: {listing}; fsck: {report}')
    return f'{figures}, bound {bound:.2f} s; the copy took {took:.1f} s, 003.dar whole on the slow pen, fsck clean'


def eject_waits_for_restore(log):
    """弹出 pressed while a backup is restored onto a slow pen: the eject says it waits, the
    restore ends with its summary, then the pen is unmounted and ejected; every package whole,
    no temporary copy left."""
    books = {f'{n:03d}.dar': package_bytes(f'恢复的书{n}', 2 * 1024 * 1024 + n, n) for n in (21, 22, 23)}
    holder = f'{BOOKS}/restored-pen/USER/CUSTOM'
    for name, content in books.items():
        write_file(f'{holder}/{name}', content)
    backup = f'{BOOKS}/backup'
    shutil.rmtree(backup, ignore_errors=True)
    os.makedirs(backup)
    made = run(DRIVER, 'backup', holder + '/', SLOW_SERIAL, backup, check=False)
    log(f'backup: {made.stdout.strip()} (exit {made.returncode})')
    check(made.returncode == 0, f'the backup said {made.stdout.strip()!r} {made.stderr.strip()!r}')
    target = Image(f'{PENS}/slow-restore.img', label='SLOW PEN', serial=SLOW_SERIAL, volid='4444DDDD')
    disk = slow_second_pen('slowrestore', target, log)
    mountpoint = pen2.mountpoint
    program.choose_serial(SLOW_SERIAL)
    program.wait(lambda: program.rows() == [], lambda: f'the slow pen listed empty (rows {program.rows()})', 600)
    program.press(RESTORE)
    program.choose_path(CHOOSE_BACKUP_FOLDER, backup)
    window = program.transfer_window(600)
    check(program.transfer_summary(window) is None, 'the restore ended before 弹出 could be pressed')
    before = program.message()
    check(before not in (EJECT_WAITING, EJECTED, EJECT_FAILED), f'the message line already says {before!r}')
    program.press(EJECT)
    pressed = time.monotonic()
    seen = {}

    def watch():
        # The mount first: seen gone while no summary is shown, it went before the restore ended.
        mounted = os.path.ismount(mountpoint)
        summary = program.transfer_summary(window)
        message = program.message()
        for event, happened in (('waiting shown while restoring', message == EJECT_WAITING and summary is None),
                                ('unmounted while restoring', not mounted and summary is None),
                                ('summary', summary is not None), ('unmounted', not mounted),
                                ('ejected shown', message == EJECTED), ('eject failed', message == EJECT_FAILED)):
            if happened and event not in seen:
                seen[event] = time.monotonic() - pressed
                log(f'{seen[event]:6.1f} s {event}: message {message!r}, summary {summary!r}')
        seen['summary text'] = summary
        return {'ejected shown', 'unmounted'} <= seen.keys() or 'eject failed' in seen
    program.wait(watch, lambda: f'the eject after the restore (seen: {seen})', 900)
    program.shot('ejected')
    check('eject failed' not in seen, f'the eject said {EJECT_FAILED} ({seen})')
    check('waiting shown while restoring' in seen, f'{EJECT_WAITING} never shown while the restore ran ({seen})')
    check('unmounted while restoring' not in seen, f'the pen was unmounted before the restore ended ({seen})')
    check(seen.get('summary', float('inf')) <= seen['ejected shown'],
          f'{EJECTED} shown before the restore\'s summary ({seen})')
    check(fill(TRANSFER_COUNTS, len(books), 0, 0) in (seen['summary text'] or ''),
          f'the restore\'s summary: {seen["summary text"]!r}')
    program.press(CLOSE, window)
    wait_until(lambda: not os.path.exists(pen2.dev), f'{pen2.dev} gone after the power-off', 300)
    let_go(disk)
    for name, content in books.items():
        differs = package_difference(content, target, f'USER/CUSTOM/{name}')
        check(not differs, f'{name} on the pen {differs}')
    listing = target.listing(hidden=True)
    clean, report = target.fsck()
    log(f'medium: {listing}; fsck: {report}')
    check(listing == sorted(books), f'on the medium: {listing}')
    check(clean, f'fsck.fat after the eject: {report}')
    return (f'{EJECT_WAITING} shown {seen["waiting shown while restoring"]:.1f} s after 弹出, the summary at '
            f'{seen["summary"]:.1f} s, unmounted at {seen["unmounted"]:.1f} s, {EJECTED} at '
            f'{seen["ejected shown"]:.1f} s; {len(books)} packages whole on the medium, no copy left, fsck clean')


@boot.at_end
def let_go_of_disks():
    if disks:
        pen2.serve('')
    for disk in disks:
        disk.close()


with boot:
    boot.run([
        ('two-pens-at-start', both_at_start),
        ('chosen-pen-installed-other-pulled', chosen_installed_other_pulled),
        ('busy-eject-then-retry', busy_eject_then_retry),
        ('unmounted-pen-mounted-through-udisks', mounted_by_program),
    ])
    # On slow media of their own in the second slot, beside pen 1.
    boot.run([
        ('copy-to-slow-pen-window-answers', copy_to_slow_pen_window_answers),
        ('eject-waits-for-restore', eject_waits_for_restore),
    ], chained=False, needs=boot.program_running)

#!/usr/bin/python3
"""One pen, the program's window open throughout: recognised at start on a partitioned pen,
unplugged, plugged back while the stale mount holds the old disk name, plugged later (a whole
disk) and mounted only after the program looked, then an install, a renumber and a removal,
each followed at once by pulling the pen and reading what is on its medium.
  one_pen.py EVIDENCE_DIR BUILD_DIR [SCENARIO...]   (default: all, in order)"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'guest'))
from kpen import FailingDisk, Image, Pen, fat_layout, first_cluster, last_used_cluster, package_bytes  # noqa: E402
from suite import HEADER, PENS, GuiBoot, check, package_difference, source  # noqa: E402
from texts import INSTALL_FAILED, NO_PEN, UNPLUGGED, custom  # noqa: E402

boot = GuiBoot(__doc__)
program = boot.program
BOOK1 = package_bytes('内核测试书一', 4096, 1)
BOOK2 = package_bytes('内核测试书二', 8192, 2)
SOURCE = source('book.dab', '装上就拔的书', 3 * 1024 * 1024 + 77, 3)

partitioned = Image(f'{PENS}/partitioned.img', partitioned=True, files={'USER/CUSTOM/001.dar': BOOK1})
whole = Image(f'{PENS}/whole.img', files={'USER/CUSTOM/002.dar': BOOK2})
pen = Pen(1, partitioned.path)
state = {'disks': []}


def listed(p):
    return [item for item in p.pens() if item != NO_PEN]


def stickers(rows):
    return [row[1] for row in rows]


def recognised_at_start(log):
    pen.plug()
    pen.mount()
    state['first disk'] = pen.disk
    log(f'pen on {pen.disk}, {pen.dev} mounted at {pen.mountpoint}')
    program.start(log)
    rows = program.wait_rows(lambda rows: custom('001') in stickers(rows), 'package 001 listed')
    items = listed(program)
    check(len(items) == 1, f'the selector lists {program.pens()}')
    serial = program.serial()
    program.shot('listed')
    return f'{pen.dev} listed as {items[0]!r}, serial {serial!r}, rows {rows}'


def unplugged(log):
    pen.unplug()
    log('gadget unbound; the mount stays, stale')
    program.wait_message(UNPLUGGED)
    program.wait(lambda: program.pens() == [NO_PEN], 'the selector back to its placeholder')
    check(program.rows() == [], f'rows left: {program.rows()}')
    program.shot('unplugged')
    return f'the message line says {UNPLUGGED}, the selector shows its placeholder, the table is empty'


def replugged_beside_stale_mount(log):
    stale = pen.mountpoint
    pen.plug()
    check(pen.disk != state['first disk'], f'the pen came back as {pen.disk}, the stale mount should hold that name')
    pen.mount()
    log(f'back as {pen.disk}, mounted at {pen.mountpoint}; stale mount {stale}')
    rows = program.wait_rows(lambda rows: custom('001') in stickers(rows), 'package 001 listed again')
    check(len(listed(program)) == 1, f'the selector lists {program.pens()}')
    program.shot('replugged')
    where = f'{pen.dev} at {pen.mountpoint}'
    pen.unplug()
    program.wait(lambda: program.pens() == [NO_PEN], 'the pen gone again')
    for mountpoint in (stale, pen.mountpoint):
        os.system(f"umount -l '{mountpoint}'")
    pen.mountpoint = None
    return f'listed again as {where} while {state["first disk"]} was held by {stale}: rows {rows}'


def later_plug_mounted_after_lookup(log):
    pen.serve(whole.path)
    pen.plug()
    check(pen.part is None, f'the whole-disk image shows a partition {pen.part}')
    program.wait(lambda: listed(program), 'the pen listed before it is mounted')
    rows_before = program.rows()
    log(f'listed while not mounted, rows {rows_before}')
    program.shot('listed-unmounted')
    pen.mount()
    rows = program.wait_rows(lambda rows: custom('002') in stickers(rows), 'package 002 listed once mounted')
    program.shot('mounted')
    return f'{pen.dev} (whole disk) listed on plugging with rows {rows_before}, then {rows} once mounted, without a click'


def pulled_after(what, action, expect_rows, medium_check):
    def body(log):
        if not pen.disk:
            pen.plug()
            pen.mount()
            program.wait_rows(lambda rows: custom('002') in stickers(rows), 'the pen listed again')
        said = action(log)
        rows = program.wait_rows(expect_rows, f'the table after the {what}')
        pen.unplug()
        log(f'pulled right after the table showed {rows}')
        program.shot(what)
        pen.drop_stale_mount()
        listing = whole.listing()
        clean, report = whole.fsck()
        log(f'medium: {listing}; fsck: {report}')
        check(clean, f'fsck.fat finds faults: {report}')
        medium_check(listing)
        return f'{said}; the table showed {rows}; on the medium: {listing}, fsck clean'
    return body


def do_install(log):
    message = program.install(SOURCE.path, '042')
    check(message is None, f'the install dialog stayed open saying {message!r}')
    return 'installed 042 through the install dialog'


def check_installed(listing):
    check('042.dar' in listing, '042.dar is not on the medium')
    differs = package_difference(SOURCE.bytes, whole, 'USER/CUSTOM/042.dar', past=HEADER)
    check(not differs, f'042.dar {differs}')


def do_renumber(log):
    program.renumber('042', '043')
    return 'renumbered 042 to 043'


def check_renumbered(listing):
    check('042.dar' not in listing and '043.dar' in listing, f'names on the medium: {listing}')
    differs = package_difference(SOURCE.bytes, whole, 'USER/CUSTOM/043.dar', past=HEADER)
    check(not differs, f'043.dar is not the whole package: it {differs}')


def do_remove(log):
    program.remove('043')
    return 'removed 043 after confirming'


def check_removed(listing):
    check('043.dar' not in listing and '002.dar' in listing, f'names on the medium: {listing}')


def unreadable_first_cluster(log):
    image = Image(f'{PENS}/badread.img', files={
        'USER/CUSTOM/001.dar': package_bytes('好书一', 4096, 1),
        'USER/CUSTOM/002.dar': package_bytes('读不出的书', 65536, 2),
        'USER/CUSTOM/003.dar': package_bytes('好书三', 4096, 3)})
    per_cluster, data, _ = fat_layout(image.path)
    start = data + (first_cluster(image, 'USER/CUSTOM/002.dar') - 2) * per_cluster
    disk = FailingDisk('badread', image, start, start + per_cluster)
    state['disks'].append(disk)
    log(f'dm table: {disk.table}')
    pen.serve(disk.path)
    program.wait(lambda: program.pens() == [NO_PEN], 'no pen listed')
    pen.plug()
    pen.mount()
    rows = program.wait_rows(lambda rows: {custom('001'), custom('002'), custom('003')} <= set(stickers(rows)),
                             'all three packages listed', 600)
    titles = dict((row[1], row[0]) for row in rows)
    check(titles[custom('001')] == '好书一' and titles[custom('003')] == '好书三', f'rows {rows}')
    # The window still answers: a refresh lists the same again.
    program.press_refresh()
    again = program.wait_rows(lambda r: len(r) == len(rows), 'the refresh listing the same rows', 600)
    program.shot('unreadable-listed')
    return (f'002.dar, its first cluster failing to read, listed as {titles[custom("002")]!r} beside 001 and 003; '
            f'a refresh answers with {len(again)} rows')


def failing_writes(log):
    image = Image(f'{PENS}/badwrite.img', files={'USER/CUSTOM/001.dar': package_bytes('好书一', 4096, 1)})
    per_cluster, data, total = fat_layout(image.path)
    start = data + (last_used_cluster(image) + 1 - 2) * per_cluster
    disk = FailingDisk('badwrite', image, start, total)
    state['disks'].append(disk)
    log(f'dm table: {disk.table}')
    pen.serve(disk.path)
    program.wait(lambda: program.pens() == [NO_PEN], 'no pen listed')
    pen.plug()
    pen.mount()
    program.wait_rows(lambda rows: stickers(rows) == [custom('001')], 'the package listed')
    message = program.install(SOURCE.path, '044')
    log(f'the install dialog said {message!r}')
    check(message == INSTALL_FAILED,
          f'the install on a medium that fails every write said {message!r}, not that it failed')
    program.wait(lambda: stickers(program.rows()) == [custom('001')], lambda: f'only 001 listed (rows {program.rows()})')
    program.shot('failed-install')
    pen.serve('')  # the gadget lets go of the device, dm and the loop device can go
    disk.close()
    state['disks'].remove(disk)
    listing = image.listing(hidden=True)
    check(listing == ['001.dar'], f'left on the medium: {listing}')
    return f'the install ended with {message!r}; on the medium only {listing}'


@boot.at_end
def let_go_of_disks():
    if state['disks']:
        pen.serve('')
    for disk in state['disks']:
        disk.close()


with boot:
    boot.run([
        ('recognised-at-start-partitioned', recognised_at_start),
        ('unplugged', unplugged),
        ('replugged-beside-stale-mount', replugged_beside_stale_mount),
        ('later-plug-mounted-after-lookup', later_plug_mounted_after_lookup),
        ('install-then-pull', pulled_after('install', do_install,
                                           lambda rows: custom('042') in stickers(rows), check_installed)),
        ('renumber-then-pull', pulled_after('renumber', do_renumber,
                                            lambda rows: custom('043') in stickers(rows)
                                            and custom('042') not in stickers(rows), check_renumbered)),
        ('removal-then-pull', pulled_after('removal', do_remove,
                                           lambda rows: custom('043') not in stickers(rows)
                                           and custom('002') in stickers(rows), check_removed)),
    ])
    # Each on a medium of its own: run whatever failed before, as long as the window is there.
    boot.run([
        ('failing-medium-unreadable-first-cluster', unreadable_first_cluster),
        ('failing-medium-writes-fail', failing_writes),
    ], chained=False, needs=boot.program_running)

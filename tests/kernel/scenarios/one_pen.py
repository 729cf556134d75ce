#!/usr/bin/python3
"""One pen, the program's window open throughout: recognised at start on a partitioned pen,
unplugged, plugged back while the stale mount holds the old disk name, plugged later (a whole
disk) and mounted only after the program looked, then an install, a renumber and a removal,
each followed at once by pulling the pen and reading what is on its medium.
  one_pen.py EVIDENCE_DIR BUILD_DIR [SCENARIO...]   (default: all, in order)"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'guest'))
from gui import NO_PEN, Program, Session  # noqa: E402
from kpen import FailingDisk, Image, Pen, Scenarios, check, fat_layout, first_cluster, last_used_cluster, package_bytes  # noqa: E402,E501

EVIDENCE, BUILD = sys.argv[1], sys.argv[2]
CHOSEN = set(sys.argv[3:])
PROGRAM = os.path.join(BUILD, 'app', 'penshelf')
BOOK1 = package_bytes('内核测试书一', 4096, 1)
BOOK2 = package_bytes('内核测试书二', 8192, 2)
SOURCE = '/root/books/book.dab'
SOURCE_BYTES = package_bytes('装上就拔的书', 3 * 1024 * 1024 + 77, 3)
os.makedirs(os.path.dirname(SOURCE), exist_ok=True)
with open(SOURCE, 'wb') as out:
    out.write(SOURCE_BYTES)

scenarios = Scenarios(EVIDENCE)
os.makedirs('/run/pens', exist_ok=True)
partitioned = Image('/run/pens/partitioned.img', partitioned=True, files={'USER/CUSTOM/001.dar': BOOK1})
whole = Image('/run/pens/whole.img', files={'USER/CUSTOM/002.dar': BOOK2})
pen = Pen(1, partitioned.path)
session = Session(EVIDENCE)
program = None
state = {}


def listed(p):
    return [item for item in p.pens() if item != NO_PEN]


def stickers(rows):
    return [row[1] for row in rows]


def recognised_at_start(log):
    global program
    pen.plug()
    pen.mount()
    state['first disk'] = pen.disk
    log(f'pen on {pen.disk}, {pen.dev} mounted at {pen.mountpoint}')
    program = Program(PROGRAM, scenarios, log)
    rows = program.wait_rows(lambda rows: '自制-001' in stickers(rows), 'package 001 listed')
    items = listed(program)
    check(len(items) == 1, f'the selector lists {program.pens()}')
    serial = program.serial()
    program.shot('listed')
    return f'{pen.dev} listed as {items[0]!r}, serial {serial!r}, rows {rows}'


def unplugged(log):
    pen.unplug()
    log('gadget unbound; the mount stays, stale')
    program.wait_message('点读笔已拔出。')
    program.wait(lambda: program.pens() == [NO_PEN], 'the selector back to its placeholder')
    check(program.rows() == [], f'rows left: {program.rows()}')
    program.shot('unplugged')
    return 'the message line says 点读笔已拔出。, the selector shows its placeholder, the table is empty'


def replugged_beside_stale_mount(log):
    stale = pen.mountpoint
    pen.plug()
    check(pen.disk != state['first disk'], f'the pen came back as {pen.disk}, the stale mount should hold that name')
    pen.mount()
    log(f'back as {pen.disk}, mounted at {pen.mountpoint}; stale mount {stale}')
    rows = program.wait_rows(lambda rows: '自制-001' in stickers(rows), 'package 001 listed again')
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
    with open(f'{pen.gadget}/functions/mass_storage.0/lun.0/file', 'w') as out:
        out.write(whole.path)
    pen.plug()
    check(pen.part is None, f'the whole-disk image shows a partition {pen.part}')
    program.wait(lambda: listed(program), 'the pen listed before it is mounted')
    rows_before = program.rows()
    log(f'listed while not mounted, rows {rows_before}')
    program.shot('listed-unmounted')
    pen.mount()
    rows = program.wait_rows(lambda rows: '自制-002' in stickers(rows), 'package 002 listed once mounted')
    program.shot('mounted')
    return f'{pen.dev} (whole disk) listed on plugging with rows {rows_before}, then {rows} once mounted, without a click'


def pulled_after(what, action, expect_rows, medium_check):
    def body(log):
        if not pen.disk:
            pen.plug()
            pen.mount()
            program.wait_rows(lambda rows: '自制-002' in stickers(rows), 'the pen listed again')
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
    message = program.install(SOURCE, '042')
    check(message is None, f'the install dialog stayed open saying {message!r}')
    return 'installed 042 through the install dialog'


def check_installed(listing):
    check('042.dar' in listing, '042.dar is not on the medium')
    got = whole.read('USER/CUSTOM/042.dar')
    check(len(got) == len(SOURCE_BYTES), f'042.dar holds {len(got)} bytes, the source {len(SOURCE_BYTES)}')
    check(got[512:] == SOURCE_BYTES[512:], '042.dar differs from the source past its header')


def do_renumber(log):
    program.renumber('042', '043')
    return 'renumbered 042 to 043'


def check_renumbered(listing):
    check('042.dar' not in listing and '043.dar' in listing, f'names on the medium: {listing}')
    got = whole.read('USER/CUSTOM/043.dar')
    check(got is not None and len(got) == len(SOURCE_BYTES) and got[512:] == SOURCE_BYTES[512:],
          '043.dar is not the whole package')


def do_remove(log):
    program.remove('043')
    return 'removed 043 after confirming'


def check_removed(listing):
    check('043.dar' not in listing and '002.dar' in listing, f'names on the medium: {listing}')


def use_backing(path):
    """Gives the unplugged pen another medium."""
    if pen.disk:
        pen.unplug()
    pen.drop_stale_mount()
    with open(f'{pen.gadget}/functions/mass_storage.0/lun.0/file', 'w') as out:
        out.write(path)


def unreadable_first_cluster(log):
    image = Image('/run/pens/badread.img', files={
        'USER/CUSTOM/001.dar': package_bytes('好书一', 4096, 1),
        'USER/CUSTOM/002.dar': package_bytes('读不出的书', 65536, 2),
        'USER/CUSTOM/003.dar': package_bytes('好书三', 4096, 3)})
    per_cluster, data, _ = fat_layout(image.path)
    start = data + (first_cluster(image, 'USER/CUSTOM/002.dar') - 2) * per_cluster
    disk = FailingDisk('badread', image, start, start + per_cluster)
    state['disks'].append(disk)
    log(f'dm table: {disk.table}')
    use_backing(disk.path)
    program.wait(lambda: program.pens() == [NO_PEN], 'no pen listed')
    pen.plug()
    pen.mount()
    rows = program.wait_rows(lambda rows: {'自制-001', '自制-002', '自制-003'} <= set(stickers(rows)),
                             'all three packages listed', 600)
    titles = dict((row[1], row[0]) for row in rows)
    check(titles['自制-001'] == '好书一' and titles['自制-003'] == '好书三', f'rows {rows}')
    # The window still answers: a refresh lists the same again.
    program.press_refresh()
    again = program.wait_rows(lambda r: len(r) == len(rows), 'the refresh listing the same rows', 600)
    program.shot('unreadable-listed')
    return f'002.dar, its first cluster failing to read, listed as {titles["自制-002"]!r} beside 001 and 003; a refresh answers with {len(again)} rows'


def failing_writes(log):
    image = Image('/run/pens/badwrite.img', files={'USER/CUSTOM/001.dar': package_bytes('好书一', 4096, 1)})
    per_cluster, data, total = fat_layout(image.path)
    start = data + (last_used_cluster(image) + 1 - 2) * per_cluster
    disk = FailingDisk('badwrite', image, start, total)
    state['disks'].append(disk)
    log(f'dm table: {disk.table}')
    use_backing(disk.path)
    program.wait(lambda: program.pens() == [NO_PEN], 'no pen listed')
    pen.plug()
    pen.mount()
    program.wait_rows(lambda rows: stickers(rows) == ['自制-001'], 'the package listed')
    message = program.install(SOURCE, '044')
    log(f'the install dialog said {message!r}')
    check(message == '点读包安装失败，请检查点读笔后重试！',
          f'the install on a medium that fails every write said {message!r}, not that it failed')
    program.wait(lambda: stickers(program.rows()) == ['自制-001'], lambda: f'only 001 listed (rows {program.rows()})')
    program.shot('failed-install')
    pen.unplug()
    pen.drop_stale_mount()
    use_backing('')  # the gadget lets go of the device, dm and the loop device can go
    disk.close()
    state['disks'].remove(disk)
    listing = run_listing(image)
    check(listing == ['001.dar'], f'left on the medium: {listing}')
    return f'the install ended with {message!r}; on the medium only {listing}'


def run_listing(image):
    import subprocess
    out = subprocess.run(['mdir', '-a', '-b', '-i', image.path, '::USER/CUSTOM'], capture_output=True, text=True,
                         env=dict(os.environ, MTOOLS_SKIP_CHECK='1')).stdout
    return sorted(line.split('/')[-1] for line in out.splitlines() if line.strip())


state['disks'] = []
try:
    steps = [
        ('recognised-at-start-partitioned', recognised_at_start),
        ('unplugged', unplugged),
        ('replugged-beside-stale-mount', replugged_beside_stale_mount),
        ('later-plug-mounted-after-lookup', later_plug_mounted_after_lookup),
        ('install-then-pull', pulled_after('install', do_install,
                                           lambda rows: '自制-042' in stickers(rows), check_installed)),
        ('renumber-then-pull', pulled_after('renumber', do_renumber,
                                            lambda rows: '自制-043' in stickers(rows)
                                            and '自制-042' not in stickers(rows), check_renumbered)),
        ('removal-then-pull', pulled_after('removal', do_remove,
                                           lambda rows: '自制-043' not in stickers(rows)
                                           and '自制-002' in stickers(rows), check_removed)),
    ]
    broken = None
    for name, body in steps:
        if CHOSEN and name not in CHOSEN:
            continue
        if broken:
            scenarios.skip(name, f'{broken} failed')
        elif not scenarios.run(name, body):
            broken = name
            if program:
                program.dump(name)
                program.shot(f'failed-{name}')
    for name, body in [('failing-medium-unreadable-first-cluster', unreadable_first_cluster),
                       ('failing-medium-writes-fail', failing_writes)]:
        if CHOSEN and name not in CHOSEN:
            continue
        if not program or not program.alive():
            scenarios.skip(name, 'the program is not running')
        elif not scenarios.run(name, body):
            program.dump(name)
            program.shot(f'failed-{name}')
finally:
    if state['disks']:
        use_backing('')
    for disk in state['disks']:
        disk.close()
    if program:
        program.close()
    session.close()
scenarios.exit()

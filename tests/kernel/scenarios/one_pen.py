#!/usr/bin/python3
"""One pen, the program's window open throughout: recognised at start on a partitioned pen,
unplugged, plugged back while the stale mount holds the old disk name, plugged later (a whole
disk) and mounted only after the program looked, then an install, a renumber and a removal,
each followed at once by pulling the pen and reading what is on its medium. Then, each on a
medium of its own: a package whose first cluster fails to read, writes that fail, a pen swapped
for another of the same model while the removal question is open, and an install cancelled
while it copies onto a slow pen.
  one_pen.py EVIDENCE_DIR BUILD_DIR [SCENARIO...]   (default: all, in order)"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'guest'))
from kpen import DelayDisk, FailingDisk, Image, Pen, fat_layout, first_cluster, last_used_cluster, package_bytes  # noqa: E402,E501
from suite import HEADER, PENS, GuiBoot, check, package_difference, source  # noqa: E402
from texts import CANCEL, INSTALL_CANCELLED, INSTALL_FAILED, NO_PEN, REMOVE, REMOVE_QUESTION, UNPLUGGED, custom  # noqa: E402,E501

boot = GuiBoot(__doc__)
program = boot.program
BOOK1 = package_bytes('内核测试书一', 4096, 1)
BOOK2 = package_bytes('内核测试书二', 8192, 2)
SOURCE = source('book.dab', '装上就拔的书', 3 * 1024 * 1024 + 77, 3)
LARGE = source('large.dab', '取消安装的书', 16 * 1024 * 1024, 8)
DELAY_MS = 300  # every read and write of a slow pen's medium waits this long

partitioned = Image(f'{PENS}/partitioned.img', partitioned=True, files={'USER/CUSTOM/001.dar': BOOK1})
whole = Image(f'{PENS}/whole.img', files={'USER/CUSTOM/002.dar': BOOK2})
pen = Pen(1, partitioned.path)
state = {'disks': []}
SWAP_SERIALS = ('PENSWAPA001', 'PENSWAPB002')
SWAP_BOOKS = (package_bytes('换下的笔的书', 8192, 21), package_bytes('换上的笔的书', 8192, 22))


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


def plug_medium(backing):
    """The pen, given another medium, plugged back and mounted."""
    pen.serve(backing)
    program.wait(lambda: program.pens() == [NO_PEN], 'no pen listed')
    pen.plug()
    pen.mount()


def let_go(disk):
    """Pulls the pen and takes its device-mapper disk away: the image is then read as is."""
    pen.serve('')  # the gadget lets go of the device, dm and the loop device can go
    disk.close()
    state['disks'].remove(disk)


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
    plug_medium(disk.path)
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
    plug_medium(disk.path)
    program.wait_rows(lambda rows: stickers(rows) == [custom('001')], 'the package listed')
    message = program.install(SOURCE.path, '044')
    log(f'the install dialog said {message!r}')
    check(message == INSTALL_FAILED,
          f'the install on a medium that fails every write said {message!r}, not that it failed')
    program.wait(lambda: stickers(program.rows()) == [custom('001')], lambda: f'only 001 listed (rows {program.rows()})')
    program.shot('failed-install')
    let_go(disk)
    listing = image.listing(hidden=True)
    check(listing == ['001.dar'], f'left on the medium: {listing}')
    return f'the install ended with {message!r}; on the medium only {listing}'


def swapped_during_removal_question(log):
    """Pen A's package is asked to be removed; before the answer, A is pulled and B, a pen of
    the same model and label with its own package under the same name, takes its place: same
    gadget, same mount point. The answer 删除 then removes nothing, from either pen."""
    first = Image(f'{PENS}/swap-a.img', serial=SWAP_SERIALS[0], volid='AAAA0001',
                  files={'USER/CUSTOM/001.dar': SWAP_BOOKS[0]})
    second = Image(f'{PENS}/swap-b.img', serial=SWAP_SERIALS[1], volid='BBBB0002',
                   files={'USER/CUSTOM/001.dar': SWAP_BOOKS[1]})
    names = second.listing(hidden=True)
    plug_medium(first.path)
    where = pen.mountpoint
    program.wait(lambda: program.serial() == SWAP_SERIALS[0] and stickers(program.rows()) == [custom('001')],
                 lambda: f'pen A listed (serial {program.serial()!r}, rows {program.rows()})')
    program.select_row('001')
    program.press(REMOVE)
    question = program.question(REMOVE_QUESTION)
    try:
        program.shot('question')
        pen.serve(second.path)  # A pulled, its stale mount dropped
        pen.plug()
        check(pen.mount() == where, f'pen B mounted at {pen.mountpoint}, not where A was ({where})')
        log(f'A pulled; B plugged as {pen.dev} and mounted at {where}')
        # The window may show B behind the question, or keep A's rows until it is answered.
        if program.within(lambda: program.serial() == SWAP_SERIALS[1], 60):
            behind = 'B shown behind the question'
        else:
            behind = f'the window still showing serial {program.serial()!r} behind the question'
        log(behind)
        check(not program.gone(question), 'the question closed when pen A went: nothing left to answer')
        program.shot('swapped')
        with program.message_events() as said:
            program.press(REMOVE, question)
            program.wait(lambda: program.gone(question), 'the question answered')
            message = program.within(lambda: program.message() == UNPLUGGED and UNPLUGGED, 120) or program.message()
    finally:
        if not program.gone(question):  # the window must not stay blocked for what follows
            program.press(CANCEL, question)
    log(f'the message line took {said} after the answer')
    # A refresh of B, after whatever the answer set going: its package still there. (What the
    # media hold is checked first.)
    program.press_refresh()
    rows = program.within(lambda: stickers(program.rows()) == [custom('001')] and program.rows(), 300) \
        or f'not its 001 but {program.rows()}'
    program.shot('answered')
    log(f'message line: {message!r}; rows after a refresh: {rows}')
    pen.unplug()
    pen.drop_stale_mount()
    for name, image, book in (('B', second, SWAP_BOOKS[1]), ('A', first, SWAP_BOOKS[0])):
        differs = package_difference(book, image, 'USER/CUSTOM/001.dar')
        check(not differs, f'001.dar of pen {name} {differs}')
        clean, report = image.fsck()
        log(f'pen {name}: {image.listing(hidden=True)}; fsck: {report}')
        check(clean, f'fsck.fat on pen {name}: {report}')
    check(second.listing(hidden=True) == names, f'pen B held {names}, now {second.listing(hidden=True)}')
    check(isinstance(rows, list), f'pen B listed {rows} after a refresh')
    # What the message line says is reported, not required: B's arrival lists it again, and a
    # completed listing empties the message line (the refusal's "点读笔已拔出。" may be gone by then).
    return (f'删除 answered after A was swapped for B at {where} ({behind}): the message line says {message!r} '
            f'(it took {said}), B then lists {rows}; on both media 001.dar as it was, fsck clean')


def cancelled_install(log):
    """取消 pressed while a large package is copied onto a slow pen: the install stops, says so,
    and leaves neither the package nor a temporary copy."""
    image = Image(f'{PENS}/slow-install.img', files={'USER/CUSTOM/001.dar': package_bytes('好书一', 4096, 1)})
    disk = DelayDisk('slowinstall', image.path, DELAY_MS)
    state['disks'].append(disk)
    plug_medium(disk.path)
    program.wait_rows(lambda rows: stickers(rows) == [custom('001')], 'the package listed', 600)
    dialog = program.start_install(LARGE.path, '045')

    def moving():
        value, top = program.progress(dialog)
        return 0 < value < top and (value, top)
    try:
        value, top = program.wait(moving, lambda: f'the progress bar moving (at {program.progress(dialog)})', 600)
        program.shot('copying')
        program.press(CANCEL, dialog)
        log(f'取消 pressed with the progress bar at {value:.0f} of {top:.0f}')
    except Exception:
        # Whatever the copy does, the dialog goes before the next scenario needs the window.
        program.within(lambda: not program.install_open() or program.enabled(CANCEL, dialog), 900)
        if program.install_open():
            program.press(CANCEL, dialog)
        raise
    program.wait(lambda: not program.install_open(), 'the install dialog closed', 600)
    program.wait_message(INSTALL_CANCELLED, 600)
    program.wait(lambda: stickers(program.rows()) == [custom('001')], lambda: f'only 001 listed (rows {program.rows()})')
    program.shot('cancelled')
    let_go(disk)
    listing = image.listing(hidden=True)
    clean, report = image.fsck()
    log(f'medium: {listing}; fsck: {report}')
    check(listing == ['001.dar'], f'left on the medium: {listing}')
    check(clean, f'fsck.fat finds faults: {report}')
    return (f'取消 at {value:.0f} of {top:.0f}: the dialog closed, the message line says {INSTALL_CANCELLED}; '
            f'on the medium only {listing}, fsck clean')


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
        ('pen-swapped-during-removal-question', swapped_during_removal_question),
        ('install-cancelled-on-slow-pen', cancelled_install),
    ], chained=False, needs=boot.program_running)

#!/usr/bin/python3
"""Pens pulled in the middle of the program's own renumber and removal (run through
penshelf_pendrive, which pulls the pen a given number of milliseconds after it starts), one pull
per delay; after each, the pen is plugged back, scanned, and its medium checked. Then an ext4
pen with a link and a FIFO named like packages.
  pulls.py EVIDENCE_DIR BUILD_DIR [SCENARIO...]   (default: all, in order)"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'guest'))
from kpen import Image, Pen, package_bytes, run  # noqa: E402
from suite import HEADER, PENS, TEMPORARY, Boot, check, difference, package_difference, source, write_file  # noqa: E402,E501
from texts import EXISTS, FOLDER_LINK, UNUSABLE_ENTRY, custom  # noqa: E402

boot = Boot(__doc__)
DRIVER = boot.built('tests', 'penshelf_pendrive')
RENUMBER_DELAYS = [0, 2, 5, 10, 20, 50]
REMOVAL_DELAYS = [0, 2, 5, 10, 15, 20, 30, 50]
SOURCE = source('pulled.dab', '拔笔测试书', 256 * 1024 + 3, 4)
NO_FLUSH = 'nosuid,nodev,relatime,shortname=mixed,utf8=1,showexec'  # vfat's options without flush

image = Image(f'{PENS}/pulls.img', size_mib=128)
pen = Pen(1, image.path)


def driver(*args, pull_after=None):
    env = dict(os.environ)
    if pull_after is not None:
        env.update(PENSHELF_PULL_AFTER_MS=str(pull_after), PENSHELF_GADGET=pen.gadget)
    try:
        result = subprocess.run([DRIVER, *args], capture_output=True, text=True, timeout=60, env=env)
        return result.returncode, result.stdout.strip(), result.stderr.strip()
    except subprocess.TimeoutExpired:
        return 124, '', 'timed out'


def folder():
    return os.path.join(pen.mountpoint, 'USER', 'CUSTOM') + '/'


def replug():
    """The pen pulled by the driver goes back in; the stale mount goes first."""
    pen.unplug()
    pen.drop_stale_mount()
    pen.plug()
    pen.mount()


def after_replug(log):
    status, out, _ = driver('scan', folder())
    names = sorted(os.listdir(folder()))
    log(f'  after replug: {names}; scan (exit {status}): {out.replace(chr(10), " | ")}')
    return [n for n in names if n.startswith(TEMPORARY)], status


def pulled_at_once_without_flush_option(log):
    """Mounted without vfat's flush option (as mount(8) does by default), nothing but the
    program's own flushes puts a package on the medium: pulled the moment the install and then
    the renumber say done, the package must be whole under its new name."""
    run('umount', pen.mountpoint)
    pen.mount(options=NO_FLUSH)
    said = []
    for step in (('install', SOURCE.path, folder(), '600', '0000'),
                 ('renumber', folder(), folder() + '600.dar', 'D', 'dab', '600', '601', '0123')):
        status, out, _ = driver(*step)
        pen.unplug()  # at once
        log(f'{step[0]}: said {out!r} (exit {status}), pulled')
        check(status == 0, f'the {step[0]} said {out!r}')
        name = '600.dar' if step[0] == 'install' else '601.dar'
        got = image.read(f'USER/CUSTOM/{name}')
        check(got is not None, f'{name} is not on the medium after the {step[0]}: {image.listing()}')
        differs = difference(SOURCE.bytes, got, past=HEADER)
        check(not differs, f'{name} on the medium after the {step[0]} is not the whole package: it {differs}')
        said.append(f'{step[0]} said done, {name} whole on the medium')
        pen.drop_stale_mount()
        pen.plug()
        pen.mount(options=NO_FLUSH)
    run('umount', pen.mountpoint)
    pen.mount()
    return '; '.join(said) + ' (each pulled at once, no flush mount option)'


def sweep_renumber(log):
    failures = []
    for delay in RENUMBER_DELAYS:
        here = folder()
        if os.path.exists(here + '100.dar'):
            current, new = '100', '200'
        elif os.path.exists(here + '200.dar'):
            current, new = '200', '100'
        else:
            current, new = '100', '200'
            check(driver('install', SOURCE.path, here, '100', '0000')[0] == 0, 'the set-up install failed')
        status, said, times = driver('renumber', here, f'{here}{current}.dar', 'D', 'dab', current, new, '0123',
                                     pull_after=delay)
        log(f'delay {delay} ms: renumber {current} -> {new}: said {said!r} (exit {status}); {times}')
        replug()
        leftovers, scan_status = after_replug(log)
        here = folder()
        present = [n for n in (current, new) if os.path.exists(f'{here}{n}.dar')]
        bad = []
        if status == 124:
            bad.append('the renumber hung')
        if scan_status == 124:
            bad.append('the scan hung')
        if len(present) != 1:
            bad.append(f'the package is under {len(present)} names')
        elif differs := package_difference(SOURCE.bytes, here, f'{present[0]}.dar', past=HEADER):
            bad.append(f'{present[0]}.dar is not the whole package: it {differs}')
        if status == 0 and present == [current]:
            bad.append('said done, but the package has its old name')
        if leftovers:
            bad.append(f'temporary copies left: {leftovers}')
        log(f'  {"FAILED: " + "; ".join(bad) if bad else "ok"}')
        if bad:
            failures.append(f'{delay} ms: {"; ".join(bad)}')
    check(not failures, ' / '.join(failures))
    return f'{len(RENUMBER_DELAYS)} pulls at {RENUMBER_DELAYS} ms: the package whole under exactly one name each time, no copy left'


def sweep_removal(log):
    failures = []
    for number, delay in enumerate(REMOVAL_DELAYS, start=301):
        here = folder()
        check(driver('install', SOURCE.path, here, str(number), '0000')[0] == 0,
              f'the set-up install of {number} failed')
        status, said, times = driver('remove', here, f'{here}{number}.dar', pull_after=delay)
        log(f'delay {delay} ms: remove {number}.dar: said {said!r} (exit {status}); {times}')
        replug()
        leftovers, scan_status = after_replug(log)
        path = f'{folder()}{number}.dar'
        bad = []
        if status == 124:
            bad.append('the removal hung')
        if scan_status == 124:
            bad.append('the scan hung')
        differs = os.path.exists(path) and package_difference(SOURCE.bytes, folder(), f'{number}.dar', past=HEADER)
        if differs:
            bad.append(f'{number}.dar is there but not whole: it {differs}')
        if status == 0 and os.path.exists(path):
            bad.append(f'said done, but {number}.dar is back')
        if leftovers:
            bad.append(f'temporary copies left: {leftovers}')
        log(f'  {"FAILED: " + "; ".join(bad) if bad else "ok"}')
        if bad:
            failures.append(f'{delay} ms: {"; ".join(bad)}')
            break  # what follows would run on a damaged file system
    pen.unplug()
    pen.drop_stale_mount()
    # The name goes before the clusters are freed: a pull in between leaves clusters that no
    # file uses (lost space, which fsck reclaims), never a name over free clusters.
    clean, report = image.fsck(allowed=('Reclaimed ',))
    log(f'fsck: {report}')
    if not clean:
        failures.append(f'fsck.fat: {report}')
    check(not failures, ' / '.join(failures))
    lost = re.search(r'Reclaimed \d+ unused clusters', report)
    return (f'{len(REMOVAL_DELAYS)} pulls at {REMOVAL_DELAYS} ms: each package whole or gone, as said, no copy '
            f'left; fsck: {lost.group(0) + " (lost space only)" if lost else "clean"}')


def pull_during_install(log):
    """A pen pulled while a large package is copied: the install must not say done, and once
    the pen is back the next scan leaves neither the package nor a temporary copy."""
    big = source('big.dab', '拔笔安装书', 24 * 1024 * 1024, 6)
    status, said, times = driver('install', big.path, folder(), '500', '0000', pull_after=400)
    log(f'install of 500 with the pen pulled at 400 ms: said {said!r} (exit {status}); {times}')
    replug()
    leftovers, scan_status = after_replug(log)
    present = os.path.exists(folder() + '500.dar')
    check(status != 124 and scan_status != 124, 'the install or the scan hung')
    check(status != 0 or present, 'said done, but 500.dar is not on the pen')
    check(not present or os.path.getsize(folder() + '500.dar') == 24 * 1024 * 1024, '500.dar is there but not whole')
    check(not leftovers, f'temporary copies left: {leftovers}')
    return f'the install said {said!r} (exit {status}); after the replug 500.dar is {"there, whole" if present else "absent"}, no copy left'


def ext4_links_and_fifos(log):
    """Links and FIFOs exist on an ext4 pen: listed as unusable without a hang, nothing written
    through them; a package folder that is a link is refused with the reason."""
    tree = f'{PENS}/ext4-tree'
    outside = f'{PENS}/outside'
    write_file(f'{tree}/SYS/INI/product.ini', b'[Product]\r\nSN=EXT4PEN0001\r\n')
    write_file(f'{tree}/USER/CUSTOM/001.dar', package_bytes('拔笔测试书', 8192, 9))
    write_file(f'{outside}/book.dar', SOURCE.bytes)
    os.symlink(f'{outside}/book.dar', f'{tree}/USER/CUSTOM/002.dar')
    os.mkfifo(f'{tree}/USER/CUSTOM/003.dar')
    ext4 = f'{PENS}/ext4.img'
    with open(ext4, 'wb') as out:
        out.truncate(64 * 1024 * 1024)
    run('mkfs.ext4', '-q', '-F', '-L', 'EXT4 PEN', '-d', tree, ext4)
    pen.serve(ext4)
    pen.plug()
    mountpoint = '/media/EXT4 PEN'
    os.makedirs(mountpoint, exist_ok=True)
    run('mount', '-t', 'ext4', pen.dev, mountpoint)
    here = f'{mountpoint}/USER/CUSTOM/'
    before = open(f'{outside}/book.dar', 'rb').read()
    status, out, _ = driver('scan', here)
    log(f'scan (exit {status}):\n{out}')
    check(status != 124, 'the scan hung')
    lines = out.splitlines()
    check(any(line.startswith(f'{custom("002")}\t{UNUSABLE_ENTRY}\t') for line in lines),
          'the link is not listed as unusable')
    check(any(line.startswith(f'{custom("003")}\t{UNUSABLE_ENTRY}\t') for line in lines),
          'the FIFO is not listed as unusable')
    status, out, _ = driver('install', SOURCE.path, here, '002', '0150')
    check(out == EXISTS, f'the install onto the link\'s name said {out!r}')
    status, out, _ = driver('renumber', here, f'{here}002.dar', 'D', 'dab', '002', '006', '0123')
    check(status != 0, 'the renumber of the link went through')
    status, out, _ = driver('renumber', here, f'{here}003.dar', 'D', 'dab', '003', '007', '0123')
    check(status not in (0, 124), f'the renumber of the FIFO: exit {status}')
    check(os.path.islink(f'{here}002.dar'), 'the link is no longer a link')
    check(open(f'{outside}/book.dar', 'rb').read() == before, 'the file the link points at changed')
    os.rename(f'{mountpoint}/USER/CUSTOM', f'{mountpoint}/USER/REAL')
    os.symlink(outside, f'{mountpoint}/USER/CUSTOM')
    listing = sorted(os.listdir(outside))
    status, out, _ = driver('scan', here)
    check(FOLDER_LINK in out, f'the scan of a linked folder said {out!r}')
    status, out, _ = driver('install', SOURCE.path, here, '008', '0150')
    check(status != 0, 'the install into a linked folder went through')
    check(sorted(os.listdir(outside)) == listing, 'something was written into the folder the link points at')
    run('umount', mountpoint)
    return 'the link and the FIFO listed as unusable, refused for install and renumber, nothing written through them; a linked USER/CUSTOM refused with its reason'


def pen_in(log):
    """Each scenario starts with the pen plugged in and mounted, plugged back if one before
    pulled it."""
    if pen.disk is None or not os.path.ismount(pen.mountpoint or ''):
        replug()
        log(f'pen plugged back: {pen.dev} at {pen.mountpoint}')


@boot.at_end
def pull():
    pen.unplug()


with boot:
    boot.run([
        ('pulled-at-once-without-flush-option', pulled_at_once_without_flush_option),
        ('pull-during-renumber', sweep_renumber),
        ('pull-during-removal', sweep_removal),
        ('pull-during-install', pull_during_install),
        ('ext4-links-and-fifos', ext4_links_and_fifos),
    ], chained=False, before=pen_in)

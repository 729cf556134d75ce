"""Pens in the guest: FAT images made with mkfs.vfat and mtools (never mounted to be made or
read), served by configfs mass-storage gadgets on the dummy USB controllers, so that the
program sees a real usb-storage disk with its udev records, hotplug events and mounts."""

import os
import re
import shutil
import subprocess
import time

GADGETS = '/sys/kernel/config/usb_gadget'
MOUNT_OPTIONS = 'nosuid,nodev,relatime,shortname=mixed,utf8=1,showexec,flush'
PART_OFFSET = 1024 * 1024  # the partition of a partitioned image starts at 1 MiB
MEDIUM = 'functions/mass_storage.0/lun.0/file'  # in a gadget's folder: what it serves


def run(*args, check=True, timeout=600, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kwargs)
    if check and result.returncode != 0:
        raise RuntimeError(f'{" ".join(args)}: exit {result.returncode}: {result.stderr.strip()}')
    return result


def settle():
    run('udevadm', 'settle', '-t', '30', check=False)


def wait_until(probe, what, timeout=60.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        result = probe()
        if result:
            return result
        if time.monotonic() > deadline:
            raise RuntimeError(f'{what}: not within {timeout:.0f} s')
        time.sleep(interval)


def package_bytes(title, size, seed=0):
    """A package: its GB 18030 title, NUL-terminated, then a pattern that shows any shifted,
    dropped or zeroed byte."""
    head = title.encode('gb18030') + b'\0'
    body = bytes(((i * 7 + 13 + seed) % 251) + 1 for i in range(256)) * (size // 256 + 1)
    return (head + body[len(head):])[:size]


def mtools_env():
    return dict(os.environ, MTOOLS_SKIP_CHECK='1', MTOOLS_NO_VFAT='0')


class Image:
    """A FAT image file; partitioned: an MBR with one partition at 1 MiB."""

    def __init__(self, path, label='MY PEN', size_mib=64, partitioned=False, files=None, volid='1234ABCD',
                 serial='PEN00000001'):
        self.path = path
        self.partitioned = partitioned
        fs = path + '.fs' if partitioned else path
        sectors = size_mib * 2048 - (2048 if partitioned else 0)
        for stale in (path, fs):
            if os.path.exists(stale):
                os.unlink(stale)
        run('mkfs.vfat', '-C', '-n', label, '-i', volid, '-h', '2048' if partitioned else '0', fs, str(sectors // 2))
        staging = path + '.content'
        shutil.rmtree(staging, ignore_errors=True)
        tree = {
            # The pen's serial: 11 characters from byte 14 on.
            'SYS/INI/product.ini': f'[Product]\r\nSN={serial}\r\nVendor=vorna\r\nName=Pen\r\n'.encode(),
        }
        tree.update(files or {})
        for name, content in tree.items():
            target = os.path.join(staging, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, 'wb') as out:
                out.write(content)
        run('mcopy', '-s', '-i', fs, *[os.path.join(staging, top) for top in sorted(os.listdir(staging))], '::/',
            env=mtools_env())
        shutil.rmtree(staging)
        if partitioned:
            with open(path, 'wb') as out:
                out.truncate(size_mib * 1024 * 1024)
            run('sfdisk', '-q', path, input=f'label: dos\nstart=2048, size={sectors}, type=e\n')
            run('dd', f'if={fs}', f'of={path}', 'bs=1M', 'seek=1', 'conv=notrunc,sparse', 'status=none')
            os.unlink(fs)

    def _target(self):
        return f'{self.path}@@{PART_OFFSET}' if self.partitioned else self.path

    def listing(self, folder='USER/CUSTOM', hidden=False):
        """Names in a folder of the image (long names), read with mtools; with hidden, also the
        files with the hidden or system attribute."""
        result = run('mdir', *(['-a'] if hidden else []), '-b', '-i', self._target(), f'::{folder}', env=mtools_env(),
                     check=False)
        if result.returncode != 0:
            return []
        return sorted(line.rstrip('/').split('/')[-1] for line in result.stdout.splitlines() if line.strip())

    def read(self, name):
        """A file's bytes read with mtools, or None when it is not there."""
        result = subprocess.run(['mtype', '-i', self._target(), f'::{name}'], capture_output=True,
                                env=mtools_env(), timeout=120)
        return result.stdout if result.returncode == 0 else None

    def fsck(self, allowed=()):
        """fsck.fat -n on the file system; (clean, its report). Report lines that start with one
        of `allowed` do not count as faults."""
        if self.partitioned:
            loop = run('losetup', '--find', '--show', '--offset', str(PART_OFFSET), self.path).stdout.strip()
            try:
                result = run('fsck.fat', '-n', loop, check=False)
            finally:
                run('losetup', '-d', loop, check=False)
        else:
            result = run('fsck.fat', '-n', self.path, check=False)
        report = (result.stdout + result.stderr).strip()
        # A pen pulled while mounted keeps the dirty bit the mount set: that alone is no fault.
        benign = ('fsck.fat ', 'Dirty bit is set', ' Automatically removing dirty bit',
                  'Leaving filesystem unchanged', 'Leaving file system unchanged')
        faults = [line for line in report.splitlines()
                  if line.strip() and not line.startswith(benign + tuple(allowed))
                  and not re.match(r'^\S+: \d+ files, ', line)]
        return result.returncode in (0, 1) and not faults, report


class Pen:
    """Pen number n (1, 2, ...): a gadget on dummy_udc.<n-1>, backed by a file or block device."""

    def __init__(self, n, backing, serial='0123456789AB', product='Pen'):
        self.n = n
        self.backing = backing
        self.gadget = f'{GADGETS}/pen{n}'
        self.udc = f'dummy_udc.{n - 1}'
        self.disk = None  # 'sdb' while plugged
        self.part = None  # 'sdb1' on a partitioned pen
        self.mountpoint = None
        if not os.path.isdir(self.gadget):
            os.mkdir(self.gadget)
            self._write('idVendor', '0x04d6')
            self._write('idProduct', '0xe101')
            self._write('bcdDevice', '0x0100')
            self._write('bcdUSB', '0x0200')
            os.mkdir(f'{self.gadget}/strings/0x409')
            self._write('strings/0x409/manufacturer', 'vorna')
            self._write('strings/0x409/product', product)
            self._write('strings/0x409/serialnumber', serial)
            function = f'{self.gadget}/functions/mass_storage.0'
            os.mkdir(function)
            self._write('functions/mass_storage.0/lun.0/removable', '1')
            self._write('functions/mass_storage.0/lun.0/inquiry_string', 'vorna   Pen             0100')
            self._write(MEDIUM, backing)
            os.makedirs(f'{self.gadget}/configs/c.1/strings/0x409')
            self._write('configs/c.1/strings/0x409/configuration', 'Mass Storage')
            os.symlink(function, f'{self.gadget}/configs/c.1/mass_storage.0')

    def _write(self, name, value):
        with open(f'{self.gadget}/{name}', 'w') as out:
            out.write(value)

    @property
    def dev(self):
        """The node holding the file system: the partition, else the whole disk."""
        return f'/dev/{self.part or self.disk}'

    def _find_disk(self):
        for name in os.listdir('/sys/class/block'):
            if not name.startswith('sd'):
                continue
            path = os.path.realpath(f'/sys/class/block/{name}')
            if f'/dummy_hcd.{self.n - 1}/' in path and re.search(r'/block/sd[a-z]+$', path):
                if os.path.exists(f'/dev/{name}') and int(open(f'{path}/size').read()) > 0:
                    return name
        return None

    def plug(self, timeout=300):
        """Binds the gadget (plugs the pen in) and waits for its disk and partition."""
        self._write('UDC', self.udc)
        self.disk = wait_until(self._find_disk, f'the disk of pen {self.n}', timeout)
        settle()
        self.part = None
        base = f'/sys/class/block/{self.disk}'
        for name in sorted(os.listdir(base)):
            if name.startswith(self.disk) and os.path.exists(f'{base}/{name}/partition'):
                self.part = name
        return self

    def unplug(self):
        """Unbinds the gadget: a surprise removal, any mount is left behind, stale."""
        with open(f'{self.gadget}/UDC') as udc:
            bound = udc.read().strip()
        if bound:
            self._write('UDC', '\n')
        settle()
        self.disk = self.part = None

    def mount(self, where=None, options=MOUNT_OPTIONS):
        """Mounts the pen as a desktop would, at /media/<label>, or <label>1... when that is
        taken (a stale mount of a pulled pen)."""
        label = run('blkid', '-o', 'value', '-s', 'LABEL', self.dev, check=False).stdout.strip() or 'pen'
        base = where or f'/media/{label}'
        target, n = base, 1
        while os.path.ismount(target):
            target, n = f'{base}{n}', n + 1
        os.makedirs(target, exist_ok=True)
        run('mount', '-t', 'vfat', '-o', options, self.dev, target)
        self.mountpoint = target
        return target

    def mount_udisks(self):
        wait_until(lambda: run('busctl', '--system', 'get-property', 'org.freedesktop.UDisks2',
                               f'/org/freedesktop/UDisks2/block_devices/{os.path.basename(self.dev)}',
                               'org.freedesktop.UDisks2.Filesystem', 'MountPoints', check=False).returncode == 0,
                   f'udisks2 knowing {self.dev}', 300)
        out = run('udisksctl', 'mount', '--no-user-interaction', '-b', self.dev).stdout
        self.mountpoint = mountpoint_of(self.dev)
        return out.strip()

    def serve(self, backing):
        """Gives the pen another medium (a file or block device; '' lets go of the one it has).
        A plugged pen is pulled first and its stale mount dropped."""
        self.unplug()
        self.drop_stale_mount()
        self._write(MEDIUM, backing)
        self.backing = backing

    def drop_stale_mount(self):
        if self.mountpoint and os.path.ismount(self.mountpoint):
            run('umount', '-l', self.mountpoint, check=False)
        self.mountpoint = None


def mountpoint_of(dev):
    with open('/proc/self/mountinfo') as mounts:
        for line in mounts:
            fields = line.split()
            source = line.split(' - ', 1)[1].split()[1]
            if source == dev:
                return fields[4].encode().decode('unicode_escape')
    return None


def dmesg_tail(lines=15):
    return run('dmesg', check=False).stdout.splitlines()[-lines:]


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def fat_layout(path):
    """(sectors per cluster, first data sector, sector count) of a whole-disk FAT image, in
    512-byte sectors."""
    with open(path, 'rb') as image:
        boot = image.read(512)
    sector = int.from_bytes(boot[11:13], 'little')
    check(sector == 512, f'{path}: {sector}-byte sectors')
    per_cluster = boot[13]
    reserved = int.from_bytes(boot[14:16], 'little')
    fats = boot[16]
    root_entries = int.from_bytes(boot[17:19], 'little')
    total = int.from_bytes(boot[19:21], 'little') or int.from_bytes(boot[32:36], 'little')
    fat_size = int.from_bytes(boot[22:24], 'little') or int.from_bytes(boot[36:40], 'little')
    data = reserved + fats * fat_size + (root_entries * 32 + 511) // 512
    return per_cluster, data, total


def first_cluster(image, name):
    """The first cluster of a file in the image, as mshowfat gives it."""
    out = run('mshowfat', '-i', image.path, f'::{name}', env=mtools_env()).stdout
    return int(re.search(r'<(\d+)', out).group(1))


def last_used_cluster(image):
    """The highest cluster any file or folder of the image uses."""
    numbers = [2]
    for folder in ('', 'SYS', 'SYS/INI', 'USER', 'USER/CUSTOM'):
        listing = run('mshowfat', '-i', image.path, f'::{folder}/*', env=mtools_env(), check=False).stdout
        numbers += [int(n) for n in re.findall(r'(\d+)>', listing)]
    return max(numbers)


class FailingDisk:
    """The image behind a loop device and device-mapper, with sectors [start, end) failing
    every read and write with an I/O error (dm's error target); the gadget serves
    /dev/mapper/NAME."""

    def __init__(self, name, image, start, end):
        self.name = name
        self.loop = run('losetup', '--find', '--show', image.path).stdout.strip()
        total = int(run('blockdev', '--getsz', self.loop).stdout)
        table = []
        if start > 0:
            table.append(f'0 {start} linear {self.loop} 0')
        table.append(f'{start} {end - start} error')
        if end < total:
            table.append(f'{end} {total - end} linear {self.loop} {end}')
        run('dmsetup', 'create', name, input='\n'.join(table) + '\n')
        self.table = table
        self.path = f'/dev/mapper/{name}'

    def close(self):
        run('sync')
        run('dmsetup', 'remove', '--retry', self.name, check=False)
        run('losetup', '-d', self.loop, check=False)


class DelayDisk:
    """An image file behind a loop device and device-mapper's delay target: every read and write
    of the medium waits `delay_ms` (a slow pen); the gadget serves /dev/mapper/NAME."""

    def __init__(self, name, image_path, delay_ms):
        run('modprobe', 'dm_delay')
        self.name = name
        self.loop = run('losetup', '--find', '--show', image_path).stdout.strip()
        total = int(run('blockdev', '--getsz', self.loop).stdout)
        run('dmsetup', 'create', name, input=f'0 {total} delay {self.loop} 0 {delay_ms}\n')
        self.path = f'/dev/mapper/{name}'

    close = FailingDisk.close

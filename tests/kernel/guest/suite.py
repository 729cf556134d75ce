"""What every boot's scenario script shares: its command line, the PASS or FAIL line of each
scenario, a table of scenarios run in order, the sources it installs and the check that a
package on a pen is whole.

A scenario script:
    boot = GuiBoot(__doc__)         # EVIDENCE_DIR BUILD_DIR [SCENARIO...] from the command line
    with boot:
        boot.run([('name', body), ...])
where body(log) returns what it saw, or raises; the script exits with 1 when any failed."""

import os
import sys
import time
import traceback
from collections import namedtuple

import kpen

check = kpen.check  # the scenarios' assertion: check(condition, what is wrong otherwise)

BOOKS = '/root/books'  # the sources the scenarios install (in the guest's overlay)
PENS = '/run/pens'  # the pens' images
HEADER = 512  # the package header, which an install or a renumber writes into
TEMPORARY = '.penshelf-'  # how the names of the program's temporary copies start


class Scenarios:
    """Runs named scenarios in order, printing one PASS or FAIL line each with its reason; the
    evidence of each (what the steps printed, screenshots) goes to EVIDENCE/<name>/."""

    def __init__(self, evidence):
        self.evidence = evidence
        self.failed = 0
        self.results = []
        self.current = evidence  # the running scenario's folder
        os.makedirs(evidence, exist_ok=True)

    def folder(self, name):
        path = os.path.join(self.evidence, name)
        os.makedirs(path, exist_ok=True)
        return path

    def run(self, name, body, *args):
        """body(log, *args) returns the reason it passed, or raises (AssertionError and any
        other error: the scenario failed)."""
        folder = self.folder(name)
        self.current = folder
        started = time.monotonic()
        with open(os.path.join(folder, 'steps.log'), 'a') as steps:
            def log(message):
                steps.write(f'[{time.monotonic() - started:7.1f}] {message}\n')
                steps.flush()
            try:
                reason = body(log, *args)
                line = f'PASS {name}: {reason}'
            except Exception as error:
                log(traceback.format_exc())
                self.failed += 1
                line = f'FAIL {name}: {error or type(error).__name__}'.replace('\n', ' | ')
            log(line)
        print(f'{line} ({time.monotonic() - started:.0f} s)', flush=True)
        self.results.append(line)
        return line.startswith('PASS')

    def skip(self, name, why):
        self.failed += 1
        line = f'FAIL {name}: not run: {why}'
        print(line, flush=True)
        self.results.append(line)

    def exit(self):
        sys.exit(1 if self.failed else 0)


class Boot:
    """One boot's scenarios, from its command line: EVIDENCE_DIR BUILD_DIR [SCENARIO...] (the
    scenarios named, else all). Used as `with boot:`, what was registered with at_end runs
    last registered first, and the script exits with 1 when a scenario failed."""

    def __init__(self, usage):
        if len(sys.argv) < 3:
            print(usage.strip(), file=sys.stderr)
            sys.exit(2)
        self.evidence, self.build = sys.argv[1], sys.argv[2]
        self.chosen = set(sys.argv[3:])
        self.scenarios = Scenarios(self.evidence)
        self._cleanups = []
        os.makedirs(PENS, exist_ok=True)

    def built(self, *path):
        """A program of the build: built('tests', 'penshelf_pendrive')."""
        return os.path.join(self.build, *path)

    def at_end(self, cleanup):
        self._cleanups.append(cleanup)
        return cleanup

    def run(self, steps, chained=True, needs=None, before=None):
        """Runs the (name, body) steps chosen, in order. Chained: once one failed, the ones
        after it are not run (each is reported as failed, not run). needs() gives a reason not
        to run a step, or None; before(log) runs first, as part of each step."""
        broken = None
        for name, body in steps:
            if self.chosen and name not in self.chosen:
                continue
            why = f'{broken} failed' if broken else needs() if needs else None
            if why:
                self.scenarios.skip(name, why)
                continue
            if before:
                body = _after(before, body)
            if not self.scenarios.run(name, body):
                self.failed(name)
                if chained:
                    broken = name

    def failed(self, name):
        """Evidence of a failed scenario beyond its steps.log."""

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        for cleanup in reversed(self._cleanups):
            cleanup()
        if kind is None:
            self.scenarios.exit()
        return False


def _after(before, body):
    def both(log):
        before(log)
        return body(log)
    return both


class GuiBoot(Boot):
    """A boot whose scenarios drive the program's window: an X server and the accessibility bus
    from the start, the program started by a scenario (program.start(log)); a failed scenario
    leaves the window's tree and a screenshot."""

    def __init__(self, usage):
        super().__init__(usage)
        from gui import Program, Session
        self.session = Session(self.evidence)
        self.at_end(self.session.close)
        self.program = Program(self.built('app', 'penshelf'), self.scenarios)
        self.at_end(self.program.close)

    def failed(self, name):
        if not self.program.started:
            return
        try:
            self.program.dump(name)
            self.program.shot(f'failed-{name}')
        except Exception as error:  # the program gone: the failure says enough
            print(f'(no window evidence for {name}: {error})', file=sys.stderr, flush=True)

    def program_running(self):
        """For run(needs=...): why a step that needs the window cannot run, or None."""
        return None if self.program.alive() else 'the program is not running'


Source = namedtuple('Source', 'path bytes')


def write_file(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as out:
        out.write(content)
    return path


def source(name, title, size, seed):
    """A package file to install, in BOOKS; made from package_bytes(title, size, seed)."""
    content = kpen.package_bytes(title, size, seed)
    return Source(write_file(os.path.join(BOOKS, name), content), content)


def read_package(medium, name):
    """A file's bytes from a medium: an Image (read with mtools; name from the root,
    'USER/CUSTOM/001.dar') or a folder of a mounted pen (name inside it); None when absent."""
    if isinstance(medium, str):
        try:
            with open(os.path.join(medium, name), 'rb') as package:
                return package.read()
        except OSError:
            return None
    return medium.read(name)


def difference(expected, got, past=0):
    """None when `got` holds the bytes `expected` (from byte `past` on: the header an install
    writes is not compared), else what differs: 'is not there', the sizes, or where the bytes
    differ."""
    if got is None:
        return 'is not there'
    blocks = [offset for offset in range(past, max(len(expected), len(got)), 4096)
              if expected[offset:offset + 4096] != got[offset:offset + 4096]]
    if not blocks:
        return None
    start = blocks[0]
    first = start + next((i for i, (a, b) in enumerate(zip(expected[start:start + 4096], got[start:start + 4096]))
                          if a != b), min(len(expected), len(got)) - start)
    where = f'first at byte {first}, in {len(blocks)} of its 4 KiB blocks'
    if any(got[offset:offset + 4096].strip(b'\0') == b'' for offset in blocks if offset < len(got)):
        where += ', some of them zeros'
    if len(got) != len(expected):
        return f'holds {len(got)} bytes, the source {len(expected)} ({where})'
    return f'differs from the source{" past its header" if past else ""} ({where})'


def package_difference(expected, medium, name, past=0):
    """What differs between the package `name` on `medium` (see read_package) and the bytes
    `expected`, or None when it is whole."""
    return difference(expected, read_package(medium, name), past)

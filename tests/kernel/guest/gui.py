"""The program's real window in the guest: an X server (Xvfb), a session bus with the
accessibility bus behind it, the built program, and what a user does with its window, done
through the accessibility bus (tests/support/atspi.py)."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
import atspi  # noqa: E402
from atspi import find, find_all, press, set_text, wait_for  # noqa: E402,F401
from texts import (APPLY, CANCEL, CHOOSE_PACKAGES, EJECT, INSTALL, INSTALL_TITLE, INSTALLING,  # noqa: E402
                   MESSAGE_DESCRIPTION, REFRESH, REMOVE, SERIAL_CAPTION, STICKER_CAPTION, TITLE)


class Session:
    """Xvfb and a session bus whose launcher starts the accessibility bus; started once a boot."""

    def __init__(self, folder, display=':99'):
        self.display = display
        os.environ.update(DISPLAY=display, QT_QPA_PLATFORM='xcb', QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1',
                          NO_AT_BRIDGE='0', XDG_RUNTIME_DIR='/run/user/0', LANG='C.UTF-8')
        with open(os.path.join(folder, 'xvfb.log'), 'ab') as log:
            self.xvfb = subprocess.Popen(['Xvfb', display, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                                         stdout=log, stderr=subprocess.STDOUT)
        socket = f'/tmp/.X11-unix/X{display[1:]}'

        def up():
            if self.xvfb.poll() is not None:
                raise RuntimeError(f'Xvfb ended with status {self.xvfb.returncode} (xvfb.log)')
            return os.path.exists(socket)
        try:
            wait_for(up, 'the X server', 600)
        except atspi.NotFound as error:
            raise RuntimeError(f'{error}') from None
        bus = subprocess.run(['dbus-daemon', '--session', '--fork', '--print-address=1', '--print-pid=1'],
                             capture_output=True, text=True, check=True)
        address, pid = bus.stdout.split('\n')[:2]
        self.bus_pid = int(pid)
        os.environ['DBUS_SESSION_BUS_ADDRESS'] = address.strip()
        # The program asks for the accessibility bus once, when it starts: have it running by then.
        subprocess.run(['gdbus', 'call', '--session', '-d', 'org.a11y.Bus', '-o', '/org/a11y/bus', '-m',
                        'org.a11y.Bus.GetAddress'], capture_output=True, check=True, timeout=600)

    def close(self):
        for pid in (self.bus_pid,):
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.xvfb.terminate()


class Program:
    """The built program with its window, started by start(); its output goes to program.log in
    the evidence folder, screenshots and trees to the running scenario's folder."""

    def __init__(self, binary, scenarios):
        self.binary = binary
        self.scenarios = scenarios
        self.process = None
        self.shots = 0

    def start(self, log):
        self.output = open(os.path.join(self.scenarios.evidence, 'program.log'), 'ab')
        self.process = subprocess.Popen([self.binary], stdout=self.output, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
        started = time.monotonic()
        self.app = atspi.Application.find(os.path.basename(self.binary), timeout=600)
        self.window = self.app.window(TITLE, timeout=600)
        log(f'window up after {time.monotonic() - started:.1f} s')
        return self

    @property
    def started(self):
        return self.process is not None

    def alive(self):
        return self.started and self.process.poll() is None

    def close(self):
        if not self.started:
            return
        if self.alive():
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
        self.output.close()

    def shot(self, name):
        """A screenshot of the whole screen, for the evidence."""
        self.shots += 1
        path = os.path.join(self.scenarios.current, f'{self.shots:02d}-{name}.png')
        subprocess.run(['import', '-window', 'root', path], capture_output=True, timeout=120)
        return path

    def dump(self, name):
        with open(os.path.join(self.scenarios.current, f'tree-{name}.txt'), 'w') as out:
            atspi.dump(self.app.node, out)

    # --- what the window shows -----------------------------------------------------------------
    def combo(self):
        return find(self.window, 'combo box')

    def pens(self):
        """The pen selector's items (the placeholder when no pen is listed)."""
        return atspi.combo_items(self.combo())

    def selected_pen(self):
        return self.combo().name

    def serial(self):
        return atspi.text(atspi.field_after(self.window, SERIAL_CAPTION))

    def rows(self):
        """The package table, one (title, sticker) per row."""
        return [tuple(row) for row in atspi.table_rows(find(self.window, 'table'))]

    def message(self):
        """The message line: the unnamed label before the install button (accessible name 安装)."""
        nodes = [n for n in atspi.children(find(self.window, 'push button', INSTALL).parent)]
        index = next(i for i, n in enumerate(nodes) if atspi.role(n) == 'push button' and n.name == INSTALL)
        for node in reversed(nodes[:index]):
            if atspi.role(node) == 'label':
                return node.name
        return ''

    @contextlib.contextmanager
    def message_events(self):
        """The texts the message line took while in the block, in order, as a screen reader hears
        them (its name changes, however briefly shown); the list is filled in as the block ends."""
        said = []
        with atspi.EventLog(os.path.basename(self.binary), 'object:property-change:accessible-name') as events:
            yield said
            atspi.pump(2)
        said.extend(name for _, name, description in events.events if description == MESSAGE_DESCRIPTION)

    def wait(self, probe, what, timeout=300):
        return wait_for(probe, what, timeout)

    def within(self, probe, timeout):
        """What probe returns once it is true within `timeout` seconds, else None: for what may or
        may not be seen."""
        try:
            return wait_for(probe, 'probe', timeout)
        except atspi.NotFound:
            return None

    def wait_rows(self, predicate, what, timeout=300):
        return wait_for(lambda: predicate(self.rows()) and self.rows(), what, timeout)

    def wait_message(self, text, timeout=300):
        return wait_for(lambda: self.message() == text, lambda: f'the message {text!r} (shown: {self.message()!r})',
                        timeout)

    # --- what a user does ------------------------------------------------------------------------
    def keys(self, widget, *keys):
        """Types keys into a widget: the window gets the X input focus (no window manager runs
        to give it), the widget the keyboard focus, then xdotool sends the keys."""
        window = subprocess.run(['xdotool', 'search', '--sync', '--onlyvisible', '--pid', str(self.process.pid),
                                 '--name', f'^{TITLE}$'], capture_output=True, text=True, timeout=300).stdout.split()
        subprocess.run(['xdotool', 'windowfocus', '--sync', window[0]], check=True, timeout=300)
        widget.queryComponent().grabFocus()
        wait_for(lambda: atspi.states(widget).contains(atspi.pyatspi.STATE_FOCUSED), 'the keyboard focus', 300)
        subprocess.run(['xdotool', 'key', '--delay', '100', *keys], check=True, timeout=300)

    def choose_pen(self, index, serial):
        """Picks the pen at `index` in the selector with the keyboard (its items may read the
        same); it shows `serial` once chosen."""
        self.keys(self.combo(), 'Home', *(['Down'] * index))
        wait_for(lambda: self.serial() == serial, lambda: f'pen {index} ({serial}) chosen, serial shown: {self.serial()!r}',
                 60)

    def choose_serial(self, serial, timeout=60):
        """Picks the pen with that serial in the selector (its items may read the same), trying
        each item in turn; returns its index."""
        for index in range(len(self.pens())):
            self.keys(self.combo(), 'Home', *(['Down'] * index))
            try:
                wait_for(lambda: self.serial() == serial, 'the serial', timeout)
                return index
            except atspi.NotFound:
                pass
        raise atspi.NotFound(f'no pen with serial {serial} in the selector ({self.pens()}, shown: {self.serial()!r})')

    def select_row(self, sticker):
        table = find(self.window, 'table')
        rows = self.rows()
        index = next(i for i, row in enumerate(rows) if row[1].endswith(sticker))
        atspi.select_table_row(table, index)
        wait_for(lambda: atspi.is_enabled(find(self.window, 'push button', REMOVE)), 'the row selected', 300)

    def choose_path(self, title, path):
        """Answers the file or folder chooser titled `title`: the path typed into its name field,
        then its open (or choose) button."""
        chooser = self.app.window(title, 300)
        edits = wait_for(lambda: [n for n in find_all(chooser, 'text', showing=True)
                                  if 'EditableText' in _interfaces(n)], 'the file name field', 300)
        set_text(edits[-1], path)
        accept = wait_for(lambda: [b for b in find_all(chooser, 'push button', showing=True)
                                   if re.match(r'^(&?打开|&?Open|选择|&?Choose)', b.name) and atspi.is_enabled(b)],
                          'the open button', 300)
        press(accept[0])

    def start_install(self, source, sticker):
        """Install…, the package chosen in the file dialog, the sticker number typed in the install
        dialog, Install. Returns the install dialog, copying."""
        press(find(self.window, 'push button', INSTALL))
        self.choose_path(CHOOSE_PACKAGES, source)
        dialog = self.app.window(INSTALL_TITLE, 300)
        set_text(atspi.field_after(dialog, STICKER_CAPTION), sticker)
        press(find(dialog, 'push button', INSTALL))
        return dialog

    def install_open(self):
        return any(w.name == INSTALL_TITLE for w in self.app.windows() if atspi.is_showing(w))

    def install(self, source, sticker):
        """An install through the install dialog (start_install). Returns the dialog's message
        when it stays open (then closed with its cancel button), else None."""
        dialog = self.start_install(source, sticker)

        def outcome():
            if not self.install_open():
                return ('closed',)
            labels = [n.name for n in find_all(dialog, 'label') if n.name and not n.name.endswith('：')]
            cancel = find(dialog, 'push button', CANCEL)
            # Still copying while the dialog says so; it says how it ended once the copy is over.
            if not labels or labels[-1] == INSTALLING or not atspi.is_enabled(cancel):
                return None
            return ('open', labels)
        result = wait_for(outcome, 'the install to end', 600)
        if result[0] == 'closed':
            return None
        message = result[1][-1]
        press(find(dialog, 'push button', CANCEL))
        return message

    def renumber(self, sticker, new):
        self.select_row(sticker)
        set_text(atspi.field_after(self.window, STICKER_CAPTION), new)
        press(find(self.window, 'push button', APPLY))

    def remove(self, sticker):
        self.select_row(sticker)
        press(find(self.window, 'push button', REMOVE))
        alert = self.app.window(lambda title: True, 300, role_names=('alert', 'dialog'))
        press(find(alert, 'push button', REMOVE))

    def enabled(self, name, window=None):
        """Whether the push button named `name` in `window` (default: the main window) is enabled."""
        return atspi.is_enabled(find(window or self.window, 'push button', name))

    def press(self, name, window=None):
        """Presses the push button named `name` in `window` (default: the main window)."""
        press(find(window or self.window, 'push button', name))

    def question(self, text, timeout=300):
        """The message box showing `text` in one of its labels, waited for."""
        def probe():
            for window in self.app.windows():
                if atspi.role(window) in ('alert', 'dialog') and atspi.is_showing(window) \
                        and find_all(window, 'label', lambda name: text in (name or '')):
                    return window
            return None
        return wait_for(probe, f'the question {text!r}', timeout)

    def shown(self, title, role_names=('dialog',)):
        """The window titled `title` if it is shown, else None."""
        for window in self.app.windows():
            if atspi.role(window) in role_names and window.name == title and atspi.is_showing(window):
                return window
        return None

    def transfer_shown(self):
        """The window of a backup, restore or copy (the dialog with a progress bar), or None."""
        for window in self.app.windows():
            if atspi.role(window) == 'dialog' and window.name == TITLE and atspi.is_showing(window) \
                    and find_all(window, 'progress bar'):
                return window
        return None

    def transfer_window(self, timeout=300):
        return wait_for(self.transfer_shown, 'the transfer window', timeout)

    def accept(self, window):
        """Presses the OK button of a dialog."""
        ok = wait_for(lambda: [b for b in find_all(window, 'push button', showing=True)
                               if re.match(r'^&?(OK|确定)', b.name or '') and atspi.is_enabled(b)], 'the OK button', 300)
        press(ok[0])

    @staticmethod
    def transfer_summary(window):
        """The summary the transfer window shows once the work has ended; None before."""
        shown = find_all(window, 'text', showing=True)
        return atspi.text(shown[0]) if shown else None

    @staticmethod
    def progress(window):
        """(value, maximum) of the window's progress bar."""
        value = find(window, 'progress bar').queryValue()
        return value.currentValue, value.maximumValue

    def gone(self, window):
        """True once `window` is no longer shown."""
        return not any(w == window for w in self.app.windows() if atspi.is_showing(w))

    def answer_time(self):
        """Seconds the window takes to answer one read of the selector's items."""
        started = time.monotonic()
        self.pens()
        return time.monotonic() - started

    def press_refresh(self):
        press(find(self.window, 'push button', REFRESH))

    def eject(self):
        press(find(self.window, 'push button', EJECT))


def _interfaces(node):
    import pyatspi
    return pyatspi.listInterfaces(node)

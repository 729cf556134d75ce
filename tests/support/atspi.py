#!/usr/bin/python3
"""Reads and operates a running program's window through the accessibility bus (AT-SPI).

The program must run with a session bus, where the bus launcher starts the accessibility bus,
and with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1. Everything here goes through what a screen reader
sees: roles, names (a label's or a button's text), the text of edits, table cells and combo box
items, and the actions a widget offers.

As a module:
    app = Application.find('penshelf')
    window = app.window('点读笔管理')
    press(find(window, 'push button', '刷新'))
    wait_for(lambda: label_texts(window), 'labels')
As a command, it prints the tree of the named program (default penshelf):
    tests/support/atspi.py dump [PROGRAM]
"""

import contextlib
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

# Each call waits up to two minutes for the program's answer (the library's default is 25 s): a
# program under an emulated processor on a busy machine can take that long to answer, and a
# call that times out is not repeated.
pyatspi.setTimeout(120000, 120000)


class NotFound(Exception):
    pass


def wait_for(probe, what, timeout=60.0, interval=0.2):
    """Calls probe until it returns something true (an exception counts as false) and returns
    that; raises NotFound naming `what` (a text, or a callable giving it) after `timeout`
    seconds."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            result = probe()
            if result:
                return result
        except (NotFound, LookupError) as error:
            last_error = error
        except Exception as error:  # a widget gone while it was read: try again
            last_error = error
        if time.monotonic() >= deadline:
            detail = f' (last: {last_error})' if last_error else ''
            if callable(what):  # a description made only now, from what is seen now
                try:
                    what = what()
                except Exception as error:
                    what = f'<{error}>'
            raise NotFound(f'{what}: not seen within {timeout:.0f} s{detail}')
        time.sleep(interval)


def role(node):
    return node.getRoleName()


def children(node):
    return [child for child in node if child is not None]


def walk(node, depth=0, max_depth=40):
    """Every node below `node`, parents first."""
    yield node
    if depth < max_depth:
        for child in children(node):
            yield from walk(child, depth + 1, max_depth)


def find_all(root, role_name=None, name=None, showing=None):
    """Nodes below root with the role (e.g. 'push button') and name given; name may be a
    callable taking the name."""
    found = []
    for node in walk(root):
        if role_name is not None and role(node) != role_name:
            continue
        if name is not None:
            if callable(name):
                if not name(node.name):
                    continue
            elif node.name != name:
                continue
        if showing is not None and is_showing(node) != showing:
            continue
        found.append(node)
    return found


def find(root, role_name=None, name=None, showing=None):
    nodes = find_all(root, role_name, name, showing)
    if not nodes:
        raise NotFound(f'no {role_name or "node"} named {name!r}')
    return nodes[0]


def states(node):
    return node.getState()


def is_enabled(node):
    return states(node).contains(pyatspi.STATE_ENABLED)


def is_showing(node):
    return states(node).contains(pyatspi.STATE_SHOWING)


def text(node):
    """What the widget shows: an edit's text, else its name (labels, buttons, items)."""
    try:
        content = node.queryText()
        return content.getText(0, content.characterCount)
    except NotImplementedError:
        return node.name


def field_after(window, caption):
    """The widget that follows the label `caption` among its siblings (a form's field)."""
    label = find(window, 'label', caption)
    siblings = children(label.parent)
    index = next(i for i, sibling in enumerate(siblings) if sibling == label)
    for sibling in siblings[index + 1:]:
        if role(sibling) != 'label':
            return sibling
    raise NotFound(f'no field after {caption!r}')


def label_texts(window):
    return [node.name for node in find_all(window, 'label')]


def action_names(node):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return []
    return [action.getName(i) for i in range(action.nActions)]


def act(node, *names):
    """Runs the first of the actions named that the node offers."""
    action = node.queryAction()
    offered = [action.getName(i) for i in range(action.nActions)]
    for name in names:
        if name in offered:
            action.doAction(offered.index(name))
            return
    raise NotFound(f'{role(node)} {node.name!r} offers {offered}, not {list(names)}')


def press(button):
    if not is_enabled(button):
        raise NotFound(f'{role(button)} {button.name!r} is disabled')
    act(button, 'Press', 'press', 'click')


def set_text(edit, value):
    edit.queryEditableText().setTextContents(value)


def combo_items(combo):
    """The texts of a combo box's items, in order."""
    items = []
    for node in walk(combo):
        if role(node) in ('list item', 'menu item'):
            items.append(node.name)
    return items


def select_combo_item(combo, item):
    """Picks the item, given by its text or its index, as a user would (the combo's activation
    follows)."""
    items = [node for node in walk(combo) if role(node) in ('list item', 'menu item')]
    for index, node in enumerate(items):
        if item == index if isinstance(item, int) else node.name == item:
            act(node, 'Toggle', 'Press', 'click')
            return
    raise NotFound(f'no item {item!r} in {combo_items(combo)}')


def table_rows(table):
    """The cells' texts of a table, row by row."""
    grid = table.queryTable()
    return [[text(grid.getAccessibleAt(r, c)) for c in range(grid.nColumns)] for r in range(grid.nRows)]


def select_table_row(table, row):
    table.queryTable().addRowSelection(row)


def labelled_by(node):
    """The names of the nodes that label `node` (its caption)."""
    names = []
    for relation in node.getRelationSet() or []:
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            names.extend(relation.getTarget(i).name for i in range(relation.getNTargets()))
    return names


def column_headers(table):
    """The header cells of a table's columns."""
    grid = table.queryTable()
    return [grid.getColumnHeader(c) for c in range(grid.nColumns)]


BUS_LAUNCHER_PATHS = ('/usr/libexec/at-spi-bus-launcher', '/usr/lib/at-spi2-core/at-spi-bus-launcher')


@contextlib.contextmanager
def accessibility_bus():
    """Runs the accessibility bus on the current session bus while in the block, for a test
    that brings its own session bus (dbus-run-session) and X server."""
    launcher = next((path for path in BUS_LAUNCHER_PATHS if os.access(path, os.X_OK)), None)
    if launcher is None:
        raise NotFound('at-spi-bus-launcher (package at-spi2-core)')
    process = subprocess.Popen([launcher, '--launch-immediately'], stdout=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        yield
    finally:
        process.terminate()
        process.wait(timeout=10)


def program_environment(**extra):
    """The environment for a Qt program that publishes its widgets on the bus."""
    environment = dict(os.environ)
    environment.update(QT_LINUX_ACCESSIBILITY_ALWAYS_ON='1', QT_QPA_PLATFORM='xcb')
    environment.update(extra)
    return environment


def pump(seconds):
    """Lets the bus deliver what is pending (events) for the given time."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while context.iteration(False):
            pass
        time.sleep(0.02)


class EventLog:
    """Records (type, source name, source description) of the events of the given types that
    come from the program `app_name` while in the block; `pump` delivers them."""

    def __init__(self, app_name, *event_types):
        self.app_name = app_name
        self.event_types = event_types
        self.events = []

    def _record(self, event):
        try:
            if event.source.getApplication().name != self.app_name:
                return
            self.events.append((event.type, event.source.name, event.source.description))
        except Exception:  # gone while read
            pass

    def __enter__(self):
        pyatspi.Registry.registerEventListener(self._record, *self.event_types)
        return self

    def __exit__(self, *exc):
        pyatspi.Registry.deregisterEventListener(self._record, *self.event_types)


def dump(node, out=sys.stdout, depth=0):
    """One line per node: role, name, shown text where it differs, actions, disabled."""
    try:
        shown = text(node)
        line = f'{"  " * depth}{role(node)} {node.name!r}'
        if shown != node.name:
            line += f' text={shown!r}'
        actions = action_names(node)
        if actions:
            line += f' actions={actions}'
        if not is_enabled(node) and role(node) not in ('application', 'filler', 'panel'):
            line += ' disabled'
        print(line, file=out)
    except Exception as error:  # gone while read
        print(f'{"  " * depth}<{error}>', file=out)
        return
    for child in children(node):
        dump(child, out, depth + 1)


class Application:
    def __init__(self, node):
        self.node = node

    @classmethod
    def find(cls, name, timeout=120.0):
        """The running program registered on the accessibility bus under `name`."""
        def probe():
            for app in children(pyatspi.Registry.getDesktop(0)):
                if app.name == name:
                    return app
            return None
        return cls(wait_for(probe, f'program {name!r} on the accessibility bus', timeout))

    def windows(self):
        return children(self.node)

    def window(self, title=None, timeout=60.0, role_names=('frame', 'dialog', 'alert', 'window')):
        """The program's top-level window whose title is `title` (or satisfies it when callable;
        any window when None), waited for."""
        def probe():
            for window in self.windows():
                if role(window) not in role_names or not is_showing(window):
                    continue
                if title is None or (title(window.name) if callable(title) else window.name == title):
                    return window
            return None
        return wait_for(probe, f'window {title!r}', timeout)


def main(argv):
    if len(argv) >= 2 and argv[1] == 'dump':
        app = Application.find(argv[2] if len(argv) > 2 else 'penshelf', timeout=30)
        dump(app.node)
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))

"""The main window as a screen reader reads it over AT-SPI: names, descriptions, captions,
the table's column headers, and the messages of the message line as events.

Usage (scripts/test runs it through CTest): run under an X server and a session D-Bus, e.g.
    xvfb-run -a dbus-run-session -- python3 atspi_window_test.py FIXTURE_WINDOW_PROGRAM
"""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import atspi  # noqa: E402

PROGRAM = None
APP_NAME = "penshelf_fixture_window"
TITLE = "点读笔管理"


class MainWindowOverAtspi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bus = atspi.accessibility_bus()
        cls.bus.__enter__()
        cls.program = subprocess.Popen(
            [PROGRAM, "--select", "自制-001"],
            env=atspi.program_environment(),
            stdout=subprocess.PIPE,
            text=True,
        )
        # The program says when the window is shown and listed.
        for line in cls.program.stdout:
            if line.strip() == "ready":
                break
        cls.program.stdout.close()
        cls.window = atspi.Application.find(APP_NAME, timeout=30).window(TITLE, timeout=30)

    @classmethod
    def tearDownClass(cls):
        cls.program.terminate()
        cls.program.wait(timeout=10)
        cls.bus.__exit__(None, None, None)

    def one(self, role, name):
        found = atspi.find_all(self.window, role, name)
        self.assertEqual(len(found), 1, "%s %r: %d found" % (role, name, len(found)))
        return found[0]

    def test_controls_have_names_and_descriptions(self):
        # role, name, caption that labels it ("" for none)
        controls = [
            ("push button", "刷新", ""),
            ("push button", "弹出", ""),
            ("push button", "安装", ""),
            ("push button", "删除", ""),
            ("push button", "应用贴号", ""),
            ("text", "序列号", "序列号："),
            ("text", "书名", "书名："),
            ("text", "书名贴号", "书名贴号："),
            ("text", "起始贴号", "起始贴号："),
            ("table", "点读包列表", ""),
        ]
        for role, name, caption in controls:
            with self.subTest(control=name):
                node = self.one(role, name)
                self.assertTrue(node.description, "no description")
                if caption:
                    self.assertEqual(atspi.labelled_by(node), [caption])

    def test_selector_is_labelled_by_its_caption(self):
        combo = atspi.find_all(self.window, "combo box")
        self.assertEqual(len(combo), 1)
        self.assertEqual(combo[0].name, "Zanvi点读笔 Pen 0100")
        self.assertEqual(atspi.labelled_by(combo[0]), ["点读笔："])
        self.assertEqual(combo[0].description, "选择要管理的点读笔")

    def test_lines_are_described(self):
        descriptions = {node.description: node.name for node in atspi.find_all(self.window, "label")}
        self.assertIn("提示信息", descriptions)
        self.assertTrue(descriptions["所选点读笔的剩余空间"].startswith("可用"))

    def test_table_columns(self):
        table = self.one("table", "点读包列表")
        self.assertEqual(len(atspi.table_rows(table)), 5)
        headers = atspi.column_headers(table)
        self.assertEqual([header.name for header in headers], ["书名", "贴号"])
        self.assertEqual([header.description for header in headers], ["点读包的书名", "点读包的类别和书名贴号"])

    def test_messages_are_announced(self):
        # A refused sticker change, twice: each answer reaches the reader as an event.
        atspi.set_text(self.one("text", "书名贴号"), "12x")
        apply = self.one("push button", "应用贴号")
        with atspi.EventLog(APP_NAME, "object:property-change:accessible-name") as log:
            atspi.press(apply)
            atspi.pump(1.5)
            atspi.press(apply)
            atspi.pump(1.5)
        messages = [name for kind, name, description in log.events if description == "提示信息"]
        self.assertEqual(len(messages), 2, log.events)
        self.assertTrue(messages[0])
        self.assertEqual(messages[1], messages[0])
        line = [node for node in atspi.find_all(self.window, "label") if node.description == "提示信息"]
        self.assertEqual(line[0].name, messages[0])


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    # pyatspi warns that it calls the older names of the AT-SPI library's calls.
    unittest.main(verbosity=2, warnings="ignore")

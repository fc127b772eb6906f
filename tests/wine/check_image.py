"""Static checks of the shipped 32-bit orvane.exe, which this machine cannot run.

usage: check_image.py OBJDUMP ORVANE_EXE
"""

import re
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree

import pe_resources

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "ole32.dll", "msvcrt.dll"}
SHELL_IMPORTS = ["CommandLineToArgvW", "ILCreateFromPathW", "SHGetPathFromIDListA",
                 "SHGetSpecialFolderLocation"]
# Resolved by name at run time, never imported.
RUNTIME_BOUND = ["SHChangeNotifyRegister", "SHChangeNotifyDeregister"]

EDIT, BUTTON = 0x81, 0x80  # the predefined classes' ordinals
CONTROLS = [
    # name, id, class, text, (x, y, width, height), style
    ("edit", 1152, EDIT, "", (10, 10, 225, 15), 0x50810080),
    ("OK", 1, BUTTON, "OK", (110, 45, 60, 15), 0x50010001),
    ("Cancel", 2, BUTTON, "Cancel", (175, 45, 60, 15), 0x50010000),
]
CLASS_NAMES = {EDIT: "edit", BUTTON: "button"}

OBJDUMP = EXE = None


def imports(listing):
    """{dll name in lower case: [function names]} from objdump -p's import tables."""
    found = {}
    current = None
    for line in listing.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            current = found.setdefault(match.group(1).lower(), [])
            continue
        match = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if current is not None and match:
            current.append(match.group(1))
        elif not line.strip() or line.startswith(("PE File", "The Export", "There is")):
            current = None
    return found


class ImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.listing = subprocess.run([OBJDUMP, "-p", EXE], check=True, capture_output=True,
                                     text=True).stdout
        cls.imports = imports(cls.listing)
        with open(EXE, "rb") as image:
            cls.resources = pe_resources.resources(pe_resources.Image(image.read()))

    def test_is_a_32_bit_console_program(self):
        self.assertRegex(self.listing, r"Magic\s+010b\s+\(PE32\)")
        self.assertRegex(self.listing, r"Subsystem\s+00000003\s+\(Windows CUI\)")

    def test_needs_only_system_dlls(self):
        self.assertTrue(self.imports, "no import tables found in:\n" + self.listing)
        self.assertLessEqual(set(self.imports), SYSTEM_DLLS)

    def test_shell_functions_are_imported_by_name(self):
        for name in SHELL_IMPORTS:
            with self.subTest(name):
                self.assertIn(name, self.imports.get("shell32.dll", []))

    def test_notification_functions_are_not_imported(self):
        for name in RUNTIME_BOUND:
            for dll, functions in self.imports.items():
                with self.subTest(name, dll=dll):
                    self.assertNotIn(name, functions)

    def test_prints_through_msvcrts_own_printf(self):
        self.assertIn("printf", self.imports.get("msvcrt.dll", []))

    def dialog(self):
        data = self.resources.get((pe_resources.RT_DIALOG, 1, 0x0409))
        self.assertIsNotNone(data, "no dialog 1 in language 0x0409: %s" % list(self.resources))
        return pe_resources.dialog(data)

    def test_dialog_template(self):
        dialog = self.dialog()
        self.assertEqual(dialog["style"], 0x80C808C0, hex(dialog["style"]))
        self.assertEqual(dialog["ex_style"], 0)
        self.assertEqual(dialog["rect"], (0, 0, 245, 65))
        self.assertEqual((dialog["menu"], dialog["class"]), ("", ""))
        self.assertEqual(dialog["caption"], "Orvane")
        self.assertEqual(dialog["font"], (9, "Tahoma"))
        self.assertEqual(len(dialog["controls"]), len(CONTROLS))

    def test_dialog_controls(self):
        controls = self.dialog()["controls"]
        for (name, control_id, kind, text, rect, style), control in zip(CONTROLS, controls):
            with self.subTest(name):
                self.assertEqual(control["id"], control_id)
                # The class may be stored by name or by ordinal; both are the same class.
                self.assertIn(control["class"] if isinstance(control["class"], int)
                              else control["class"].lower(), (kind, CLASS_NAMES[kind]))
                self.assertEqual(control["text"], text)
                self.assertEqual(control["rect"], rect)
                self.assertEqual(control["style"], style, hex(control["style"]))

    def test_manifest(self):
        data = self.resources.get((pe_resources.RT_MANIFEST, 1, 0))
        self.assertIsNotNone(data, "no language-neutral manifest 1: %s" % list(self.resources))
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"), "no UTF-8 byte-order mark")
        root = ElementTree.fromstring(data[3:])
        level = root.find(".//{*}requestedExecutionLevel")
        self.assertEqual((level.get("level"), level.get("uiAccess")), ("asInvoker", "false"))
        identity = root.find(".//{*}dependentAssembly/{*}assemblyIdentity")
        self.assertEqual(dict(identity.attrib), {
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"})


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    OBJDUMP, EXE = sys.argv[1:]
    unittest.main(argv=sys.argv[:1], verbosity=2)

"""The whole system at once, with no argument, while a package manager works."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import Orvane, check_fit, parse_line, why_fanotify_is_refused

PACKAGE = "orvane-e2e-probe"
FILES = ["opt/orvane-e2e-probe/bin/tool", "opt/orvane-e2e-probe/lib/deep/er/data.txt",
         "opt/orvane-e2e-probe/lib/other.txt", "usr/share/orvane-e2e-probe/notes/readme"]


class Items:
    """The items that the lines said exist: made, moved in or renamed to,
    and not removed or moved away since."""

    def __init__(self):
        self.present = set()

    def feed(self, lines):
        for text in lines:
            parsed = parse_line(text)
            if not parsed:
                continue
            event, first, second = parsed
            if event in ("SHCNE_CREATE", "SHCNE_MKDIR"):
                self.present.add(first)
            elif event in ("SHCNE_DELETE", "SHCNE_RMDIR"):
                self.drop(first)
            elif event in ("SHCNE_RENAMEITEM", "SHCNE_RENAMEFOLDER"):
                moved = {p for p in self.present if p == first or p.startswith(first + "/")}
                self.drop(first)
                self.present |= {second + p[len(first):] for p in moved}

    def drop(self, path):
        self.present = {p for p in self.present if p != path and not p.startswith(path + "/")}


def build_package(where):
    tree = os.path.join(where, "tree")
    os.makedirs(os.path.join(tree, "DEBIAN"))
    with open(os.path.join(tree, "DEBIAN", "control"), "w") as control:
        control.write("Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: t <t@t>\n"
                      "Description: a package the end-to-end tests install and remove\n" % PACKAGE)
    for item in FILES:
        path = os.path.join(tree, item)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as out:
            out.write("contents of %s\n" % item)
    deb = os.path.join(where, PACKAGE + ".deb")
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", tree, deb], check=True,
                   stdout=subprocess.DEVNULL)
    return deb


def installed_paths():
    listing = subprocess.run(["dpkg", "-L", PACKAGE], capture_output=True, text=True, check=True)
    return [p for p in listing.stdout.splitlines() if p.startswith("/") and p != "/."]


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("dpkg-deb") and shutil.which("dpkg"),
                     "needs root, dpkg and dpkg-deb")
class PackageTest(unittest.TestCase):
    def test_installing_and_removing_a_package_reports_every_path_it_lists(self):
        refused = why_fanotify_is_refused()
        if refused:
            self.skipTest("the instant whole-system watch needs fanotify: " + refused)
        if subprocess.run(["dpkg", "-s", PACKAGE], capture_output=True).returncode == 0:
            subprocess.run(["dpkg", "-r", PACKAGE], check=True, stdout=subprocess.DEVNULL)
        tmp = tempfile.TemporaryDirectory(prefix="orvane-deb-")
        self.addCleanup(tmp.cleanup)
        deb = build_package(tmp.name)
        probes = os.path.realpath(tmp.name)
        tool = Orvane()
        self.addCleanup(tool.stop)
        self.addCleanup(check_fit, self, tool)
        self.addCleanup(subprocess.run, ["dpkg", "--purge", PACKAGE], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
        if not tool.arm(probes):
            self.fail("orvane never armed\n" + tool.dump())
        items = Items()
        existed = set()
        for item in FILES:
            parts = item.split("/")
            existed |= {"/" + "/".join(parts[:n]) for n in range(1, len(parts))
                        if os.path.exists("/" + "/".join(parts[:n]))}

        subprocess.run(["dpkg", "-i", deb], check=True, stdout=subprocess.DEVNULL)
        new = [p for p in installed_paths() if p not in existed]
        self.assertGreaterEqual(len(new), len(FILES))
        def all_told(lines):
            items.feed(tool.new_lines())
            return all(p in items.present for p in new)
        if not tool.wait_for(all_told):
            self.fail("not reported: %s\n%s" % (sorted(set(new) - items.present), tool.dump()))

        subprocess.run(["dpkg", "-r", PACKAGE], check=True, stdout=subprocess.DEVNULL)
        gone = [p for p in new if not os.path.lexists(p)]
        self.assertEqual(sorted(gone), sorted(new), "dpkg -r left some of the package behind")
        def all_gone(lines):
            items.feed(tool.new_lines())
            return not any(p in items.present for p in new)
        if not tool.wait_for(all_gone):
            self.fail("still reported as present: %s\n%s" %
                      (sorted(set(new) & items.present), tool.dump()))

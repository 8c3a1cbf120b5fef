"""The Debian package passes lintian, installs on this machine, runs from PATH with the catalogues
and the symbol it installed under /usr, and removes without a trace.

It installs into the machine itself, so it runs only as root and only where no zelnamenu package
is installed already. The package is ZELNA_PACKAGE when given, else one that `make package` builds
under ZELNA_BINARY_DIR.
"""

import glob
import os
import pathlib
import shutil
import subprocess
import sys
import unittest

from gi.repository import GLib

SOURCE = pathlib.Path(os.environ.get("ZELNA_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(SOURCE / "tests" / "support"))
from desktop_session import Desktop, stop  # noqa: E402

METAINFO = pathlib.Path("/usr/share/metainfo/org.zelna.ZelnaMenu.metainfo.xml")


def run(argv, timeout=120, check=True):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result


def is_installed(package):
    result = run(["dpkg-query", "-W", "-f=${db:Status-Status}", package], check=False)
    return result.returncode == 0 and result.stdout.strip() == "installed"


def package_file():
    if os.environ.get("ZELNA_PACKAGE"):
        return pathlib.Path(os.environ["ZELNA_PACKAGE"])
    build = pathlib.Path(os.environ["ZELNA_BINARY_DIR"]) / "package"
    run(["make", "-C", str(SOURCE), "--no-print-directory", "package", f"PACKAGE_BUILD_DIR={build}"], timeout=1200)
    (found,) = glob.glob(str(build / "zelnamenu_*.deb"))
    return pathlib.Path(found)


class Run:
    """zelnamenu from PATH on a private desktop, with a stand-in status-area host."""

    def __init__(self, language):
        self.desktop = Desktop()
        env = dict(self.desktop.env, LANGUAGE=language, PATH="/usr/bin:/bin")
        self.program = self.desktop.start(["zelnamenu"], env=env, stderr=subprocess.PIPE, text=True)
        self.registered = self.desktop.registered(timeout=15)
        line = self.desktop.watcher.first(lambda text: text.startswith("REGISTERED "))
        self.service = line[1].split()[2] if line else None

    def labels(self):
        _, root = self.desktop.call(self.service, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                    GLib.Variant("(iias)", (0, 1, ["label"])), "(u(ia{sv}av))")
        return [properties.get("label", "") for _, properties, _ in root[2]]

    def icon(self):
        (pixmaps,) = self.desktop.call(self.service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                                       GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "IconPixmap")), "(v)")
        return pixmaps

    def close(self):
        status = stop(self.program)
        with self.program.stderr:
            errors = self.program.stderr.read()
        self.desktop.close()
        return status, errors


@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "installs a package: needs root")
@unittest.skipUnless(shutil.which("dpkg"), "needs dpkg")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if is_installed("zelnamenu"):
            raise unittest.SkipTest("a zelnamenu package is installed already; not touching it")
        cls.deb = package_file()
        cls.contents = [line.split()[-1].lstrip(".") for line in run(["dpkg-deb", "-c", str(cls.deb)]).stdout.splitlines()]

    def test_lintian_finds_no_error(self):
        result = run(["lintian", "--fail-on", "error", str(self.deb)], check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotIn("E: ", result.stdout)

    def test_package_holds_the_program_and_its_resources_and_names_what_it_loads(self):
        for path in ["/usr/bin/zelnamenu", "/usr/share/applications/org.zelna.ZelnaMenu.desktop",
                     "/usr/share/icons/hicolor/scalable/apps/org.zelna.ZelnaMenu.svg", str(METAINFO),
                     "/usr/share/locale/de/LC_MESSAGES/zelnamenu.mo", "/usr/share/man/man1/zelnamenu.1.gz",
                     "/usr/share/doc/zelnamenu/copyright", "/usr/share/doc/zelnamenu/changelog.gz"]:
            self.assertIn(path, self.contents)
        depends = run(["dpkg-deb", "-f", str(self.deb), "Depends"]).stdout
        # Computed from the binary by dpkg-shlibdeps, and the plugins it only loads at run time.
        for package in ["libc6", "libglib2.0-0", "libgstreamer1.0-0", "libcairo2", "libsoup-3.0-0",
                        "gstreamer1.0-plugins-good", "glib-networking"]:
            self.assertRegex(depends, rf"(^|, ){package}( |,|$)")
        self.assertNotIn("-dev", depends)

    def test_installs_runs_from_path_and_removes_without_a_trace(self):
        directories_before = {path for path in self.contents if os.path.isdir(path)}
        run(["dpkg", "-i", str(self.deb)])
        self.addCleanup(lambda: is_installed("zelnamenu") and run(["dpkg", "--purge", "zelnamenu"], check=False))
        self.assertEqual(shutil.which("zelnamenu", path="/usr/bin:/bin"), "/usr/bin/zelnamenu")
        self.assertIn(b"\x7fELF", pathlib.Path("/usr/bin/zelnamenu").read_bytes()[:4])
        run(["dpkg", "--verify", "zelnamenu"])

        german = Run("de")
        try:
            self.assertIsNotNone(german.registered, "the status item never registered")
            self.assertTrue(german.desktop.name_owned("org.mpris.MediaPlayer2.zelnamenu", timeout=5))
            labels = german.labels()
            self.assertIn("Zelna Prime", labels)
            # The catalogue under /usr/share/locale: the English ids must not show.
            self.assertNotIn("Quit ZelnaMenu", labels)
            self.assertIn("ZelnaMenu beenden", labels)
            self.assertTrue(german.icon())
        finally:
            status, errors = german.close()
        self.assertEqual(status, 0, errors)

        run(["dpkg", "--purge", "zelnamenu"])
        self.assertFalse(is_installed("zelnamenu"))
        left = [path for path in self.contents
                if path not in directories_before and path != "/" and os.path.lexists(path)]
        self.assertEqual(left, [], "files or folders left after removal")


if __name__ == "__main__":
    unittest.main()

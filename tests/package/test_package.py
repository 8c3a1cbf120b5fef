"""The Debian package passes lintian, installs on this machine, runs from PATH with the catalogues and
the symbol it installed under /usr, and removes without a trace. It installs into the machine
itself, so it runs only as root and only where no zelnamenu package is installed already. The
package is ZELNA_PACKAGE when given, else one that `make package` builds under ZELNA_BINARY_DIR."""

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
from desktop_session import Desktop, run, stop  # noqa: E402

SYMBOL = pathlib.Path("/usr/share/zelnamenu/symbols/antenna.radiowaves.left.and.right.svg")


def checked(*argv, timeout=120):
    status, output = run(list(argv), timeout=timeout)
    if status != 0:
        raise AssertionError(f"{' '.join(argv)} failed ({status}):\n{output}")
    return output


def is_installed():
    return run(["dpkg-query", "-W", "-f=${db:Status-Status}", "zelnamenu"])[1].strip() == "installed"


def run_installed():
    """zelnamenu from PATH in German on a private desktop: its menu's labels and its icon's pixmaps."""
    desktop = Desktop()
    try:
        program = desktop.start(["zelnamenu"], env=dict(desktop.env, LANGUAGE="de", PATH="/usr/bin:/bin"),
                                stderr=subprocess.PIPE, text=True)
        line = desktop.watcher.wait_for(lambda text: text.startswith("REGISTERED "), timeout=15)
        assert line, "the status item never registered"
        service = line[1].split()[2]
        _, root = desktop.call(service, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                               GLib.Variant("(iias)", (0, 1, ["label"])), "(u(ia{sv}av))")
        icon = desktop.call(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                            GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "IconPixmap")), "(v)")[0]
        assert desktop.name_owned("org.mpris.MediaPlayer2.zelnamenu", timeout=5), "no MPRIS name"
        assert stop(program) == 0, program.stderr.read()
        return [properties.get("label", "") for _, properties, _ in root[2]], icon
    finally:
        desktop.close()


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("dpkg"), "installs a package: needs root and dpkg")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if is_installed():
            raise unittest.SkipTest("a zelnamenu package is installed already; not touching it")
        cls.deb = os.environ.get("ZELNA_PACKAGE")
        if not cls.deb:
            build = pathlib.Path(os.environ["ZELNA_BINARY_DIR"]) / "package"
            checked("make", "-C", str(SOURCE), "--no-print-directory", "package", f"PACKAGE_BUILD_DIR={build}",
                    timeout=1200)
            (cls.deb,) = glob.glob(str(build / "zelnamenu_*.deb"))
        cls.contents = [line.split()[-1].lstrip(".") for line in checked("dpkg-deb", "-c", cls.deb).splitlines()]

    def test_lintian_finds_no_error_and_the_package_names_what_the_program_loads(self):
        self.assertNotIn("E: ", checked("lintian", "--fail-on", "error", self.deb))
        depends = checked("dpkg-deb", "-f", self.deb, "Depends")
        # Computed from the binary by dpkg-shlibdeps, and the plugins it only loads at run time.
        for package in ["libc6", "libglib2.0-0", "libgstreamer1.0-0", "libcairo2", "librsvg2-2", "libsoup-3.0-0",
                        "gstreamer1.0-plugins-good", "glib-networking"]:
            self.assertRegex(depends, rf"(^|, ){package}( |,|$)")
        self.assertNotIn("-dev", depends)

    def test_installs_runs_from_path_with_its_resources_and_removes_without_a_trace(self):
        directories_before = {path for path in self.contents if os.path.isdir(path)}
        checked("dpkg", "-i", self.deb)
        self.addCleanup(lambda: is_installed() and run(["dpkg", "--purge", "zelnamenu"]))
        checked("dpkg", "--verify", "zelnamenu")
        labels, with_symbol = run_installed()
        self.assertIn("Zelna Prime", labels)
        self.assertIn("ZelnaMenu beenden", labels, "the catalogue under /usr/share/locale")
        # Without the installed symbol file, the status image differs.
        SYMBOL.rename(SYMBOL.with_suffix(".aside"))
        try:
            self.assertNotEqual(run_installed()[1], with_symbol, "the installed symbol is not drawn")
        finally:
            SYMBOL.with_suffix(".aside").rename(SYMBOL)
        checked("dpkg", "--purge", "zelnamenu")
        left = [path for path in self.contents if path not in directories_before and path != "/" and os.path.lexists(path)]
        self.assertEqual(left, [], "files or folders left after removal")


if __name__ == "__main__":
    unittest.main()

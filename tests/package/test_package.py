"""The Debian package (ZELNA_PACKAGE, else built by `make package`) passes lintian, installs on this machine (as root,
where no zelnamenu package is installed), runs from PATH in German with its catalogue, and removes without a trace."""

import glob
import os
import pathlib
import shutil
import subprocess
import sys
import unittest

SOURCE = pathlib.Path(os.environ.get("ZELNA_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(SOURCE / "tests" / "support"))
from desktop_session import Desktop, run, stop  # noqa: E402


def checked(*argv, timeout=120):
    status, output = run(list(argv), timeout=timeout)
    assert status == 0, f"{' '.join(argv)} failed ({status}):\n{output}"
    return output


def run_installed():
    """zelnamenu from PATH in German on a private desktop: its menu's labels."""
    desktop = Desktop()
    try:
        program = desktop.start(["zelnamenu"], env=dict(desktop.env, LANGUAGE="de", PATH="/usr/bin:/bin"),
                                stderr=subprocess.PIPE, text=True)
        assert desktop.name_owned(None, timeout=15) and desktop.name_owned("org.mpris.MediaPlayer2.zelnamenu", timeout=5)
        labels = [child["label"] for child in desktop.item()["children"]]
        assert stop(program) == 0, program.stderr.read()
        return labels
    finally:
        desktop.close()


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("dpkg"), "installs a package: needs root and dpkg")
class PackageTest(unittest.TestCase):
    def test_passes_lintian_installs_runs_from_path_in_german_and_removes_without_a_trace(self):
        if run(["dpkg-query", "-W", "-f=${db:Status-Status}", "zelnamenu"])[1] == "installed":
            self.skipTest("a zelnamenu package is installed already; not touching it")
        deb = os.environ.get("ZELNA_PACKAGE")
        if not deb:
            build = pathlib.Path(os.environ["ZELNA_BINARY_DIR"]) / "package"
            checked("make", "-C", str(SOURCE), "--no-print-directory", "package", f"PACKAGE_BUILD_DIR={build}",
                    timeout=1200)
            (deb,) = glob.glob(str(build / "zelnamenu_*.deb"))
        self.assertNotIn("E: ", checked("lintian", "--fail-on", "error", deb))
        contents = [line.split()[-1].lstrip(".") for line in checked("dpkg-deb", "-c", deb).splitlines()]
        folders_before = {path for path in contents if os.path.isdir(path)}
        checked("dpkg", "-i", deb)
        self.addCleanup(lambda: run(["dpkg", "--purge", "zelnamenu"]))
        checked("dpkg", "--verify", "zelnamenu")
        labels = run_installed()
        self.assertIn("Zelna Prime", labels)
        self.assertIn("ZelnaMenu beenden", labels, "the catalogue under /usr/share/locale")
        checked("dpkg", "--purge", "zelnamenu")
        left = [path for path in contents if path not in folders_before and path != "/" and os.path.lexists(path)]
        self.assertEqual(left, [], "files or folders left after removal")


if __name__ == "__main__":
    unittest.main()

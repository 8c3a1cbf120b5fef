"""`cmake --install` puts every file where the program and the desktop look for it, and the
desktop entry and the AppStream description are valid."""

import os
import pathlib
import subprocess
import tempfile
import unittest

SOURCE = pathlib.Path(os.environ["ZELNA_SOURCE_DIR"])
BUILD = pathlib.Path(os.environ["ZELNA_BINARY_DIR"])


class InstallTest(unittest.TestCase):
    def test_install_puts_every_file_in_its_place(self):
        with tempfile.TemporaryDirectory() as prefix:
            result = subprocess.run(["cmake", "--install", str(BUILD), "--prefix", prefix],
                                    capture_output=True, text=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            root = pathlib.Path(prefix)
            languages = [line.strip() for line in (SOURCE / "data/po/LINGUAS").read_text().splitlines()
                         if line.strip() and not line.startswith("#")]
            for path in ["share/icons/hicolor/scalable/apps/org.zelna.ZelnaMenu.svg"] + [
                             f"share/locale/{language}/LC_MESSAGES/zelnamenu.mo" for language in languages]:
                self.assertTrue((root / path).is_file(), path)
            self.assertTrue(os.access(root / "bin/zelnamenu", os.X_OK))

            entry_path = root / "share/applications/org.zelna.ZelnaMenu.desktop"
            result = subprocess.run(["desktop-file-validate", str(entry_path)], capture_output=True, text=True,
                                    timeout=30)
            self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""), "errors, warnings or hints")
            entry = dict(line.split("=", 1) for line in entry_path.read_text().splitlines() if "=" in line)
            self.assertEqual((entry["Exec"], entry["Icon"]), ("zelnamenu", "org.zelna.ZelnaMenu"))
            # A tray program that a user starts from the launcher: it must be listed there.
            self.assertNotIn("NoDisplay", entry)
            self.assertIn("AudioVideo", entry["Categories"].split(";"))

            # Software centres read the AppStream description, translated from the same catalogues.
            metainfo = root / "share/metainfo/org.zelna.ZelnaMenu.metainfo.xml"
            result = subprocess.run(["appstreamcli", "validate", "--no-net", str(metainfo)], capture_output=True,
                                    text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertIn('<summary xml:lang="de">Zelna-Radio aus dem Statusbereich hören</summary>',
                          metainfo.read_text())


if __name__ == "__main__":
    unittest.main()

"""The desktop entry is valid, and `cmake --install` puts every file where the program and the
desktop look for it."""

import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest

SOURCE = pathlib.Path(os.environ["ZELNA_SOURCE_DIR"])
BUILD = pathlib.Path(os.environ["ZELNA_BINARY_DIR"])
DESKTOP_ENTRY = SOURCE / "data" / "org.zelna.ZelnaMenu.desktop"


def languages():
    lines = (SOURCE / "data" / "po" / "LINGUAS").read_text().splitlines()
    return [line.strip() for line in lines if line.strip() and not line.startswith("#")]


class DesktopEntryTest(unittest.TestCase):
    def test_entry_is_valid_and_starts_the_program(self):
        result = subprocess.run(["desktop-file-validate", str(DESKTOP_ENTRY)], capture_output=True, text=True,
                                timeout=30)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(result.stdout + result.stderr, "", "warnings or hints from desktop-file-validate")

        entry = dict(line.split("=", 1) for line in DESKTOP_ENTRY.read_text().splitlines() if "=" in line)
        self.assertEqual(entry["Exec"], "zelnamenu")
        self.assertEqual(entry["Icon"], "org.zelna.ZelnaMenu")
        # A tray program that a user starts from the launcher: it must be listed there.
        self.assertNotIn("NoDisplay", entry)
        self.assertIn("AudioVideo", entry["Categories"].split(";"))


class InstallTest(unittest.TestCase):
    def test_install_puts_every_file_in_its_place(self):
        with tempfile.TemporaryDirectory() as prefix:
            result = subprocess.run([shutil.which("cmake") or "cmake", "--install", str(BUILD), "--prefix", prefix],
                                    capture_output=True, text=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            root = pathlib.Path(prefix)

            expected = [
                "share/applications/org.zelna.ZelnaMenu.desktop",
                "share/icons/hicolor/scalable/apps/org.zelna.ZelnaMenu.svg",
                "share/zelnamenu/symbols/antenna.radiowaves.left.and.right.svg",
            ] + [f"share/locale/{language}/LC_MESSAGES/zelnamenu.mo" for language in languages()]
            for path in expected:
                self.assertTrue((root / path).is_file(), path)

            # The catalogues are the ones the build compiled and the program reads from the build tree.
            for language in languages():
                path = f"share/locale/{language}/LC_MESSAGES/zelnamenu.mo"
                self.assertEqual((root / path).read_bytes(), (BUILD / path).read_bytes(), path)

            program = root / "bin" / "zelnamenu"
            if (SOURCE / "src" / "main.cpp").exists():
                self.assertTrue(program.is_file())
                self.assertTrue(os.access(program, os.X_OK))
                # Beside share/, as the program expects to find its resources.
                self.assertTrue((program.parent.parent / "share" / "zelnamenu" / "symbols").is_dir())

            installed_entry = root / "share/applications/org.zelna.ZelnaMenu.desktop"
            result = subprocess.run(["desktop-file-validate", str(installed_entry)], capture_output=True, text=True,
                                    timeout=30)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()

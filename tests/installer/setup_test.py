#!/usr/bin/env python3
"""The players' setup under Wine, as a player and an internet café meet it.

One signed setup, built by the release tool from this build's launcher, goes through the rows of
one table in order; each row starts from what the rows before it left: a silent install, the
launcher's first start, an upgrade, a refusal, the uninstaller, another folder, a folder the
player cannot write. The test host of the harness serves a newer release than the setup carries.

Run by CTest inside the harness (Xvfb, the build's Wine prefix, the test update host).
VANTOR_BUILD_DIR names the build, VANTOR_RELEASE_TOOL the release tool.
"""
import getpass
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

BUILD = Path(os.environ["VANTOR_BUILD_DIR"])
SOURCE = Path(os.environ.get("VANTOR_SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(SOURCE / "tests/tools"))
from release_tool_test import snapshot as tree, write  # noqa: E402
from package_test import run as tool, sign_launcher  # noqa: E402
PREFIX = BUILD / "wineprefix"
PROFILE = PREFIX / "drive_c/users" / getpass.getuser()
DEFAULT_FOLDER = PROFILE / "AppData/Local/Programs/Vantor"
SHORTCUTS = [PROFILE / "AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Vantor.lnk",
             PROFILE / "Desktop/Vantor.lnk"]
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantor"
HOST_STATE = BUILD / "harness/update-host"
CLIENT = "2015-11-04aKovexe_patched.exe"
REFUSED = 2
# What the setup carries (release one) and what the test host serves (release two).
RELEASE_ONE = {"Data/prontera.gat": b"prontera of release one", "System/itemInfo.lub": b"items"}
RELEASE_TWO = {"Data/prontera.gat": b"prontera of release two", "System/itemInfo.lub": b"items",
               "Data/izlude.gat": b"izlude of release two"}
GAME = {"BGM/intro.mp3": b"the game's music, never updated"}

ENV = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all", LANG="C.UTF-8",
           # Wine's menu builder would copy the shortcuts into the Linux desktop's menus.
           WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
if not ENV.get("DISPLAY") and (BUILD / "harness/display").exists():
    ENV["DISPLAY"] = (BUILD / "harness/display").read_text().strip()


def wine(*args, timeout=180):
    return subprocess.run(["wine", *map(str, args)], env=ENV, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=timeout).returncode


def windows(path):
    path = Path(path)
    if PREFIX / "drive_c" in [path, *path.parents]:
        return "C:\\" + str(path.relative_to(PREFIX / "drive_c")).replace("/", "\\")
    return "Z:" + str(path).replace("/", "\\")


def install_folder_words(folder):
    """/D=FOLDER as a player types it. NSIS reads /D= unquoted to the end of the command line, and
    Wine, as Windows' rules do, quotes a single argument that holds a space: so one word each."""
    return f"/D={windows(folder)}".split(" ")


def registry():
    """The values of the Apps & features entry, or None without one. Exported to a file: reg
    query prints in the console's code page, which has no Chinese."""
    with tempfile.TemporaryDirectory(prefix="vantor-reg-") as tmp:
        exported = Path(tmp) / "entry.reg"
        if wine("reg", "export", UNINSTALL_KEY, windows(exported), "/y") != 0:
            return None
        text = exported.read_bytes().decode("utf-16")
    values = {}
    for line in text.splitlines():
        if line.startswith('"') and '"=' in line:
            name, value = line[1:].split('"=', 1)
            if value.startswith('"'):
                value = value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
            values[name] = value
    return values


def wait_until(done, seconds):
    end = time.monotonic() + seconds
    while not done():
        if time.monotonic() > end:
            return False
        time.sleep(0.2)
    return True


class Launcher:
    """The installed VANTOR.exe, running until the block ends."""

    def __init__(self, folder):
        self.exe = Path(folder) / "VANTOR.exe"

    def __enter__(self):
        self.process = subprocess.Popen(["wine", self.exe], env=ENV, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        driver = subprocess.run(["wine", BUILD / "tests/harness/launcher_driver.exe", "wait-settled", "60"],
                                env=ENV, capture_output=True, text=True, errors="replace",
                                stdin=subprocess.DEVNULL, timeout=120)
        self.state = dict(line.split("=", 1) for line in driver.stdout.replace("\r", "").splitlines()
                          if "=" in line)
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait(timeout=60)


class SetupTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("makensis") or not shutil.which("wine"):
            raise unittest.SkipTest("needs nsis and wine (scripts/test installs them)")
        cls._tmp = tempfile.TemporaryDirectory(prefix="vantor-setup-")
        cls.addClassCleanup(cls._tmp.cleanup)
        tmp = cls.tmp = Path(cls._tmp.name)
        cls.make_signed_setup(tmp)
        cls.addClassCleanup(cls.empty_web_root)
        cls.serve_release_two(tmp)
        cls.addClassCleanup(cls.forget_installs)
        cls.forget_installs()
        if (PROFILE / "Desktop").is_symlink():
            raise AssertionError("the prefix's desktop is the Linux home folder: start Wine with "
                                 "scripts/lib/common.sh's start_wine, which gives it its own")

    @staticmethod
    def empty_web_root():
        # The other tests' helpers under Wine cannot remove the links a published web root holds.
        shutil.rmtree(HOST_STATE / "www", ignore_errors=True)
        (HOST_STATE / "www").mkdir()

    @classmethod
    def forget_installs(cls):
        subprocess.run(["wine", "reg", "delete", UNINSTALL_KEY, "/f"], env=ENV, capture_output=True,
                       stdin=subprocess.DEVNULL, timeout=120)
        for folder in [DEFAULT_FOLDER, PREFIX / "drive_c/Games 游戏"]:
            shutil.rmtree(folder, ignore_errors=True)
        for shortcut in SHORTCUTS:
            shortcut.unlink(missing_ok=True)

    @classmethod
    def make_signed_setup(cls, tmp):
        cls.launcher = tmp / "signed/VANTOR.exe"
        signing = sign_launcher(tmp, BUILD / "VANTOR.exe", cls.launcher)
        record = dict(line.split(" ", 1) for line in
                      (BUILD / "VANTOR.constants").read_text().splitlines() if line[:1] != "#")
        cls.client_info = write(tmp / "clientinfo.xml", (
            f"<clientinfo><connection><address>{record['game-server-host']}</address>"
            f"<port>{record['game-server-port']}</port></connection></clientinfo>\n").encode())
        for name, data in RELEASE_ONE.items():
            write(tmp / "release-one" / name, data)
        for name, data in GAME.items():
            write(tmp / "game" / name, data)
        cls.setup = tmp / "VantorSetup.exe"
        done = tool("package", cls.setup, "--launcher", cls.launcher, "--constants",
                    BUILD / "VANTOR.constants", "--client", BUILD / "stub" / CLIENT,
                    "--client-info", cls.client_info, "--game", tmp / "game",
                    "--release", tmp / "release-one", *signing)
        assert done.returncode == 0, done.stdout + done.stderr
        print(done.stdout, flush=True)
        cls.root = tmp / "root.pem"

    @classmethod
    def serve_release_two(cls, tmp):
        for name, data in RELEASE_TWO.items():
            write(tmp / "release-two" / name, data)
        shutil.rmtree(HOST_STATE / "www", ignore_errors=True)
        for name in ["scenario.json", "log.txt"]:
            (HOST_STATE / name).unlink(missing_ok=True)
        done = tool("publish", tmp / "release-two", HOST_STATE / "www", "--key",
                    SOURCE / "tests/keys/test-signing-key.pem")
        assert done.returncode == 0, done.stderr

    def shipped_files(self):
        """Every file the setup installs, as it installs them (data files as of release one)."""
        return {"VANTOR.exe": self.launcher.read_bytes(), CLIENT: (BUILD / "stub" / CLIENT).read_bytes(),
                "Data/clientinfo.xml": self.client_info.read_bytes(), **GAME, **RELEASE_ONE}

    def shipped(self, folder):
        got = tree(folder) or {}
        return {name: got.get(name) == data for name, data in self.shipped_files().items()}

    def uninstall(self, folder):
        """Runs the uninstaller as Apps & features does; it copies itself away and returns at once."""
        self.assertEqual(wine(Path(folder) / "uninstall.exe", "/S"), 0)
        self.assertTrue(wait_until(lambda: registry() is None and
                                   not (Path(folder) / "uninstall.exe").exists(), 60))

    # The rows, in order.

    def default_silent_install(self):
        began = time.monotonic()
        self.assertEqual(wine(self.setup, "/S"), 0)
        print(f"silent install: {time.monotonic() - began:.1f} s, setup of "
              f"{self.setup.stat().st_size} bytes", flush=True)
        self.assertTrue(all(self.shipped(DEFAULT_FOLDER).values()), self.shipped(DEFAULT_FOLDER))
        verified = subprocess.run(["osslsigncode", "verify", "-in", DEFAULT_FOLDER / "uninstall.exe",
                                   "-CAfile", self.root], capture_output=True, text=True, timeout=120)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        folder = windows(DEFAULT_FOLDER)
        for shortcut in SHORTCUTS:
            # Target and working folder, as the shell link keeps them (UTF-16).
            self.assertIn(f"{folder}\\VANTOR.exe".encode("utf-16-le"), shortcut.read_bytes())
            self.assertIn(folder.encode("utf-16-le") + b"\0\0", shortcut.read_bytes())
        entry = registry()
        total = sum(map(len, self.shipped_files().values()))
        self.assertEqual(entry.pop("EstimatedSize"), f"dword:{(total + 1023) // 1024:08x}")
        self.assertEqual(entry, {
            "DisplayName": "Vantor", "DisplayVersion": "1.2.2", "Publisher": "Vantor",
            "DisplayIcon": f"{folder}\\VANTOR.exe,0", "InstallLocation": folder,
            "URLInfoAbout": "https://www.vantor.test",
            "UninstallString": f'"{folder}\\uninstall.exe"',
            "QuietUninstallString": f'"{folder}\\uninstall.exe" /S', "NoModify": "dword:00000001",
            "NoRepair": "dword:00000001"})

    def first_start_updates(self):
        with Launcher(DEFAULT_FOLDER) as launcher:
            self.assertEqual(launcher.state.get("update"), "Updated to 1.2.2", launcher.state)
        got = tree(DEFAULT_FOLDER)
        self.assertEqual({n: got.get(n) for n in RELEASE_TWO}, RELEASE_TWO)

    def upgrade_keeps_data(self):
        # An older launcher and configuration, and the data the launcher downloaded.
        write(DEFAULT_FOLDER / "VANTOR.exe", b"MZ an older launcher")
        write(DEFAULT_FOLDER / "Data/clientinfo.xml", b"<address>old.example</address>")
        (DEFAULT_FOLDER / "BGM/intro.mp3").unlink()
        self.assertEqual(wine(self.setup, "/S"), 0)
        shipped = self.shipped(DEFAULT_FOLDER)
        self.assertTrue(all(shipped[n] for n in ["VANTOR.exe", "Data/clientinfo.xml", *GAME]), shipped)
        got = tree(DEFAULT_FOLDER)
        self.assertEqual({n: got.get(n) for n in RELEASE_TWO}, RELEASE_TWO)

    def refused_while_running(self):
        write(DEFAULT_FOLDER / "Data/clientinfo.xml", b"<address>old.example</address>")
        before = (tree(DEFAULT_FOLDER), registry())
        with Launcher(DEFAULT_FOLDER) as launcher:
            self.assertIn("update", launcher.state)
            self.assertEqual(wine(self.setup, "/S"), REFUSED)
            self.assertEqual((tree(DEFAULT_FOLDER), registry()), before)
        # The uninstaller refuses too.
        with Launcher(DEFAULT_FOLDER):
            self.assertEqual(wine(DEFAULT_FOLDER / "uninstall.exe", "/S", f"_?={windows(DEFAULT_FOLDER)}"),
                             REFUSED)
            self.assertEqual((tree(DEFAULT_FOLDER), registry()), before)

    def uninstall_keeps_foreign_files(self):
        write(DEFAULT_FOLDER / "screenshot0001.bmp", b"the player's")
        write(DEFAULT_FOLDER / "Data/prontera.gat.vantor-new", b"a killed update's leftover")
        self.uninstall(DEFAULT_FOLDER)
        self.assertEqual(tree(DEFAULT_FOLDER), {"screenshot0001.bmp": b"the player's"})
        self.assertEqual([s for s in SHORTCUTS if s.exists()], [])
        shutil.rmtree(DEFAULT_FOLDER)

    def folder_with_chinese_and_a_space(self):
        folder = PREFIX / "drive_c/Games 游戏/Vantor"
        self.assertEqual(wine(self.setup, "/S", *install_folder_words(folder)), 0)
        self.assertTrue(all(self.shipped(folder).values()), self.shipped(folder))
        self.assertEqual(registry()["InstallLocation"], windows(folder))
        self.uninstall(folder)
        self.assertFalse(folder.exists())

    def folder_the_player_cannot_write(self):
        if os.getuid() != 0:
            self.skipTest("not root: cannot mount a read-only folder")
        folder = self.tmp / "read-only"
        folder.mkdir()
        if subprocess.run(["mount", "--bind", folder, folder]).returncode != 0:
            self.skipTest("a bind mount failed")
        try:
            if subprocess.run(["mount", "-o", "remount,bind,ro", folder]).returncode != 0:
                self.skipTest("a read-only remount failed")
            # Wine turns the read-only mount into a denial, as Windows a folder the player may
            # not write; the folder itself and one the setup would make in it.
            for target in [folder, folder / "Vantor"]:
                self.assertEqual(wine(self.setup, "/S", *install_folder_words(target)), REFUSED)
            self.assertEqual(list(folder.iterdir()), [])
            self.assertIsNone(registry())
        finally:
            subprocess.run(["umount", folder])

    ROWS = [default_silent_install, first_start_updates, upgrade_keeps_data, refused_while_running,
            uninstall_keeps_foreign_files, folder_with_chinese_and_a_space,
            folder_the_player_cannot_write]

    def test_rows(self):
        for row in self.ROWS:
            with self.subTest(row.__name__):
                row(self)


if __name__ == "__main__":
    unittest.main(verbosity=2)

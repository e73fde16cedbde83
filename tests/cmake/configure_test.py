#!/usr/bin/env python3
"""A Release configure refuses every placeholder constant and names each; other builds keep them.

VANTOR_SOURCE_DIR names the source tree; by default the tree this file lies in.
"""
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("VANTOR_SOURCE_DIR", Path(__file__).resolve().parents[2]))
OWN = {
    "VANTOR_UPDATE_HOST": "updates.vantor.test",
    "VANTOR_GAME_SERVER_HOST": "game.vantor.test",
    "VANTOR_WEBSITE_BASE": "https://www.vantor.test",
    "VANTOR_MANIFEST_KEY_MODULUS": (SOURCE / "tests/keys/test-signing-key.modulus").read_text().strip(),
    "VANTOR_CLIENT_SHA256": "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff",
}
PLACEHOLDERS = list(OWN)


class ReleasePlaceholderTests(unittest.TestCase):
    def configure(self, preset, values):
        with tempfile.TemporaryDirectory(prefix="vantor-configure-") as build:
            args = [f"-D{name}={value}" for name, value in values.items()]
            return subprocess.run(["cmake", "-S", SOURCE, "--preset", preset, "-B", build, *args],
                                  capture_output=True, text=True, timeout=300)

    def test_each_kind_of_placeholder_is_named(self):
        cases = [
            # (name, the constants left at their defaults)
            ("every default", PLACEHOLDERS),
            ("a .example host", ["VANTOR_GAME_SERVER_HOST"]),
            ("a .example website", ["VANTOR_WEBSITE_BASE"]),
            ("the dummy modulus", ["VANTOR_MANIFEST_KEY_MODULUS"]),
            ("the zero digest", ["VANTOR_CLIENT_SHA256"]),
            ("none", []),
        ]
        for name, defaults in cases:
            with self.subTest(name):
                done = self.configure("release", {k: v for k, v in OWN.items() if k not in defaults})
                self.assertEqual(done.returncode != 0, bool(defaults), done.stderr)
                refused = [line for line in done.stderr.splitlines() if line.startswith("    VANTOR_")]
                self.assertEqual([line.split()[0].split("=")[0].rstrip(":") for line in refused],
                                 defaults, done.stderr)

    def test_the_test_preset_keeps_the_defaults_it_does_not_set(self):
        done = self.configure("test", {"VANTOR_BUILD_TESTS": "OFF"})
        self.assertEqual(done.returncode, 0, done.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=1)

"""The systemd unit of zmfile serve (contrib/systemd/zmfile-serve.service.in),
in the copy the build generates with ExecStart naming the built zmfile.

- `systemd-analyze verify` accepts it without a word (it warns about an
  unknown key or a missing binary but still exits 0, so any output fails);
- its sandbox is all there, and systemd waits longer than the drain;
- its ExecStart, expanded as systemd would, starts zmfile serve, which
  stores into the state directory and stops on KillSignal with status 0
  within TimeoutStopSec.

Usage: systemd_unit_test.py UNIT. Exits 77 (skipped) without systemd-analyze.
"""

import pathlib
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

SKIP = 77
UNIT = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else None

# (key, value the unit must give it): the sandbox and the stop.
REQUIRED = [
    ("DynamicUser", "yes"),
    ("StateDirectory", "zmfile"),
    ("ProtectSystem", "strict"),
    ("ProtectHome", "yes"),
    ("PrivateTmp", "yes"),
    ("PrivateDevices", "yes"),
    ("NoNewPrivileges", "yes"),
    ("CapabilityBoundingSet", ""),
    ("RestrictAddressFamilies", "AF_INET AF_INET6 AF_UNIX"),
    ("SystemCallFilter", "@system-service"),
    ("KillSignal", "SIGTERM"),
]


def parse_unit(text):
    """{(section, key): [values in order]} of a unit file."""
    entries = {}
    section = ""
    for raw in text.splitlines():
        line = raw.strip()
        if not line or line[0] in "#;":
            continue
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
            continue
        key, _, value = line.partition("=")
        entries.setdefault((section, key.strip()), []).append(value.strip())
    return entries


def seconds(value):
    match = re.fullmatch(r"(\d+)(s|min)?", value)
    if not match:
        raise AssertionError(f"unexpected time span {value!r}")
    return int(match.group(1)) * (60 if match.group(2) == "min" else 1)


def environment_of(entries):
    """The Environment= assignments of [Service] (EnvironmentFile is optional
    and absent here)."""
    variables = {}
    for value in entries.get(("Service", "Environment"), []):
        for assignment in shlex.split(value):
            name, _, text = assignment.partition("=")
            variables[name] = text
    return variables


def expand_command(command, variables):
    """ExecStart's words as systemd expands them: "$NAME" alone is split into
    words, "${NAME}" is put in place as one word."""
    words = []
    for word in shlex.split(command):
        bare = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", word)
        if bare:
            words.extend(variables.get(bare.group(1), "").split())
        else:
            words.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}", lambda m: variables.get(m.group(1), ""), word))
    return words


class SystemdUnitTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.text = UNIT.read_text()
        cls.entries = parse_unit(cls.text)

    def value(self, key, section="Service"):
        values = self.entries.get((section, key))
        self.assertTrue(values, f"{key}= missing from [{section}]")
        return values[-1]

    def test_systemd_analyze_verify_says_nothing(self):
        # --man=no: the manual page named by Documentation= is not installed
        # in a build tree.
        result = subprocess.run(["systemd-analyze", "verify", "--man=no", str(UNIT)], capture_output=True,
                                text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((result.stdout + result.stderr).strip(), "")

    def test_sandbox_and_stop(self):
        for key, expected in REQUIRED:
            with self.subTest(key):
                self.assertIn(expected, self.entries.get(("Service", key), []))
        drain = re.search(r"--drain-seconds[ =](\d+)", self.value("ExecStart"))
        self.assertIsNotNone(drain, "ExecStart sets --drain-seconds")
        self.assertGreater(seconds(self.value("TimeoutStopSec")), int(drain.group(1)))

    def test_exec_start_runs_and_stops_on_kill_signal(self):
        state = pathlib.Path(tempfile.mkdtemp(prefix="zmfile-unit-"))
        self.addCleanup(shutil.rmtree, state, True)
        variables = environment_of(self.entries)
        # The default address, on a free port instead of 8080.
        self.assertIn("--port 8080", variables.get("ZMFILE_SERVE_ARGS", ""))
        variables["ZMFILE_SERVE_ARGS"] = variables["ZMFILE_SERVE_ARGS"].replace("--port 8080", "--port 0")
        variables["STATE_DIRECTORY"] = str(state)
        command = expand_command(self.value("ExecStart"), variables)
        log_path = state / "log"
        with open(log_path, "wb") as log:
            server = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        try:
            url = None
            deadline = time.monotonic() + 15
            while url is None and time.monotonic() < deadline and server.poll() is None:
                match = re.search(r"open (http://127\.0\.0\.1:\d+/) \(Ctrl-C", log_path.read_text(errors="replace"))
                url = match.group(1) if match else None
                time.sleep(0.05)
            self.assertIsNotNone(url, f"{command} did not start:\n{log_path.read_text(errors='replace')}")
            with urllib.request.urlopen(url + "config", timeout=10) as answer:
                self.assertEqual(answer.status, 200)
            self.assertTrue((state / "uploads").is_dir(), "uploads are stored in the state directory")
        finally:
            started = time.monotonic()
            server.send_signal(getattr(signal, self.value("KillSignal")))
            try:
                status = server.wait(timeout=seconds(self.value("TimeoutStopSec")))
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
                status = None
        self.assertEqual(status, 0, log_path.read_text(errors="replace"))
        self.assertLess(time.monotonic() - started, 5, "an idle server stops at once")


def main():
    if UNIT is None or not UNIT.is_file():
        print("systemd_unit_test: give the generated unit file as the argument", file=sys.stderr)
        return 2
    if shutil.which("systemd-analyze") is None:
        print("systemd_unit_test: SKIP: systemd-analyze is not installed")
        return SKIP
    result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

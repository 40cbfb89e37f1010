"""The systemd unit of zmfile serve (contrib/systemd/zmfile-serve.service.in),
in the copy the build generates with ExecStart naming the built zmfile.

- `systemd-analyze verify` accepts it without a word (it warns about an
  unknown key or a missing binary but still exits 0, so any output fails);
- its sandbox is all there, and systemd waits longer than the drain;
- its ExecStart, expanded as systemd would with a made-up
  $CREDENTIALS_DIRECTORY holding the password file and the config file
  (contrib/systemd/serve.toml on a free port), starts zmfile serve with the
  file's settings, which refuses an anonymous upload with 401, stores a
  user's upload into the state directory, and stops on KillSignal with
  status 0 within TimeoutStopSec;
- with the README's TLS drop-in it verifies as quietly and serves HTTPS
  from the credentials the same way.

Usage: systemd_unit_test.py UNIT. Exits 77 (skipped) without systemd-analyze.
"""

import base64
import json
import pathlib
import re
import ssl
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

SKIP = 77
UNIT = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else None
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
CONFIG = pathlib.Path(__file__).resolve().parents[2] / "contrib" / "systemd" / "serve.toml"
USER, PASSWORD = "ann", "unit-test-secret"

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
    ("LoadCredential", "htpasswd:/etc/zmfile/htpasswd"),
    ("LoadCredential", "serve.toml:/etc/zmfile/serve.toml"),
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


def expand_specifiers(text, credentials):
    """`text` with the %d specifier (the credentials directory) filled in."""
    return re.sub(r"%([d%])", lambda m: str(credentials) if m.group(1) == "d" else "%", text)


def readme_drop_in():
    """The TLS drop-in the README shows under "As a systemd service"."""
    match = re.search(r"### As a systemd service\n.*?```ini\n(.*?)```\n", README.read_text(), re.S)
    if match is None:
        raise AssertionError("README.md shows no ini drop-in under \"As a systemd service\"")
    return match.group(1)


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

    def verify(self, unit):
        # --man=no: the manual page named by Documentation= is not installed
        # in a build tree.
        result = subprocess.run(["systemd-analyze", "verify", "--man=no", str(unit)], capture_output=True,
                                text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((result.stdout + result.stderr).strip(), "")

    def test_systemd_analyze_verify_says_nothing(self):
        self.verify(UNIT)

    def test_systemd_analyze_verify_says_nothing_with_the_readme_drop_in(self):
        folder = pathlib.Path(tempfile.mkdtemp(prefix="zmfile-unit-"))
        self.addCleanup(shutil.rmtree, folder, True)
        unit = folder / UNIT.name
        shutil.copyfile(UNIT, unit)
        (folder / (UNIT.name + ".d")).mkdir()
        (folder / (UNIT.name + ".d") / "tls.conf").write_text(readme_drop_in())
        self.verify(unit)

    def test_sandbox_and_stop(self):
        for key, expected in REQUIRED:
            with self.subTest(key):
                self.assertIn(expected, self.entries.get(("Service", key), []))
        self.assertIn("--config ${CREDENTIALS_DIRECTORY}/serve.toml", self.value("ExecStart"))
        drain = re.search(r"--drain-seconds[ =](\d+)", self.value("ExecStart"))
        self.assertIsNotNone(drain, "ExecStart sets --drain-seconds")
        self.assertGreater(seconds(self.value("TimeoutStopSec")), int(drain.group(1)))

    def test_readme_names_the_credentials_the_unit_loads(self):
        section = README.read_text().split("### As a systemd service", 1)[1].split("\n## ", 1)[0]
        sources = [value.partition(":")[2] for value in self.entries.get(("Service", "LoadCredential"), [])]
        sources += [value.partition(":")[2] for value in parse_unit(readme_drop_in()).get(("Service", "LoadCredential"), [])]
        self.assertGreaterEqual(len(sources), 3)
        for source in sources:
            with self.subTest(source):
                self.assertIn(source, section.replace(readme_drop_in(), ""),
                              "the README's commands do not put the file where the unit loads it")

    def start_exec_start(self, entries, credentials, tls=False):
        """Starts ExecStart as systemd would expand it from `entries` with
        CREDENTIALS_DIRECTORY `credentials`; returns (process, base URL,
        state directory, log path), the process stopped at cleanup."""
        state = pathlib.Path(tempfile.mkdtemp(prefix="zmfile-unit-state-"))
        self.addCleanup(shutil.rmtree, state, True)
        variables = {name: expand_specifiers(value, credentials) for name, value in environment_of(entries).items()}
        variables["STATE_DIRECTORY"] = str(state)
        variables["CREDENTIALS_DIRECTORY"] = str(credentials)
        command = expand_command(expand_specifiers(entries[("Service", "ExecStart")][-1], credentials), variables)
        log_path = state / "log"
        with open(log_path, "wb") as log:
            server = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: server.poll() is None and (server.kill(), server.wait()))
        url = None
        deadline = time.monotonic() + 15
        scheme = "https" if tls else "http"
        while url is None and time.monotonic() < deadline and server.poll() is None:
            match = re.search(r"open (" + scheme + r"://127\.0\.0\.1:\d+/) \(Ctrl-C",
                              log_path.read_text(errors="replace"))
            url = match.group(1) if match else None
            time.sleep(0.05)
        self.assertIsNotNone(url, f"{command} did not start:\n{log_path.read_text(errors='replace')}")
        # The config file's body limit, 1G, is the server's.
        self.assertIn("body limit 1073741824 bytes", log_path.read_text(errors="replace"))
        return server, url, state, log_path

    def stop(self, server, log_path):
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

    def credentials(self):
        """A made-up credentials directory holding the password file."""
        folder = pathlib.Path(tempfile.mkdtemp(prefix="zmfile-unit-credentials-"))
        self.addCleanup(shutil.rmtree, folder, True)
        hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=PASSWORD, capture_output=True,
                                text=True, check=True, timeout=30).stdout.strip()
        (folder / "htpasswd").write_text(f"{USER}:{hashed}\n")
        # The config file as shipped, on a free port instead of 8080.
        config = CONFIG.read_text()
        self.assertIn("\nport = 8080\n", config)
        self.assertIn('\nmax-body = "1G"\n', config)
        (folder / "serve.toml").write_text(config.replace("\nport = 8080\n", "\nport = 0\n"))
        return folder

    def check_uploads(self, url, state, context=None):
        # (credentials, status, stored)
        cases = [(None, 401, False), ((USER, "wrong"), 401, False), ((USER, PASSWORD), 200, True)]
        for number, (credentials, status, stored) in enumerate(cases):
            with self.subTest(credentials=credentials):
                name = f"unit-{number}.txt"
                self.assertEqual(upload(url, name, credentials, context), status)
                self.assertEqual((state / "uploads" / name).is_file(), stored)

    def test_exec_start_runs_closed_and_stops_on_kill_signal(self):
        server, url, state, log_path = self.start_exec_start(self.entries, self.credentials())
        self.check_uploads(url, state)
        self.stop(server, log_path)

    def test_exec_start_with_the_readme_drop_in_serves_https_from_credentials(self):
        credentials = self.credentials()
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", str(credentials / "tls-key"), "-out", str(credentials / "tls-cert"),
                        "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1"],
                       capture_output=True, check=True, timeout=60)
        entries = parse_unit(self.text)
        for key, values in parse_unit(readme_drop_in()).items():
            entries.setdefault(key, []).extend(values)
        server, url, state, log_path = self.start_exec_start(entries, credentials, tls=True)
        self.check_uploads(url, state, ssl.create_default_context(cafile=str(credentials / "tls-cert")))
        self.stop(server, log_path)


def upload(url, name, credentials, context):
    """POSTs a small file; returns the status."""
    boundary = "zmfileUnitTest4b1c"
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"upload1\"; filename=\"{name}\"\r\n\r\n"
            f"through the unit\r\n--{boundary}--\r\n").encode()
    headers = {"Content-Type": f"multipart/form-data; boundary={boundary}", "Accept": "application/json"}
    if credentials:
        headers["Authorization"] = "Basic " + base64.b64encode(":".join(credentials).encode()).decode()
    request = urllib.request.Request(url + "upload", data=body, headers=headers, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=30, context=context) as answer:
            json.loads(answer.read())
            return answer.status
    except urllib.error.HTTPError as error:
        return error.code


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

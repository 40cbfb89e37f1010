"""The manual page (docs/zmfile.1.scd) and the bash completion
(contrib/bash-completion/zmfile) against zmfile's own options, read from
the --help of each command, where CLI11 prints every option with its
default:

- every option of every command has an entry in the manual page's section
  for that command, and each default the help shows is the entry's
  "Default:" (sizes compared in bytes, so 1G is 1073741824); an option
  whose help says "on by default" says "Default: on";
- the completion offers exactly the options of each command;
- the manual page's example of a serve config file is TOML whose every key
  is an option of serve.

Usage: zmfile_docs_test.py ZMFILE
"""

import pathlib
import re
import subprocess
import sys
import tomllib
import unittest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
ZMFILE = sys.argv[1] if len(sys.argv) > 1 else ""
COMMANDS = ("value", "save", "serve")
# The manual page's section that describes each command's options.
MAN_SECTIONS = {"value": "value and save", "save": "value and save", "serve": "serve"}
_SIZE = re.compile(r"(\d+)([KMG]?)")


def help_options(command):
    """{option: (default or None, description)} from `zmfile COMMAND --help`.
    CLI11 prints each option as "  NAMES[ TYPE][=DEFAULT]" followed, after
    two spaces or on the next line, by its description."""
    text = subprocess.run([ZMFILE, command, "--help"], capture_output=True, text=True, timeout=30, check=True).stdout
    lines = text.split("\n")
    options = {}
    for index, line in enumerate(lines):
        if not re.match(r"^  -", line):
            continue
        header, _, description = line[2:].partition("  ")
        if not description.strip() and index + 1 < len(lines) and lines[index + 1].startswith("    "):
            description = lines[index + 1]
        default = re.search(r"=([^\s=]+)$", header)
        for name in header.split(" ")[0].split(","):
            if name.startswith("--"):
                options[name] = (default.group(1) if default else None, description.strip())
    return options


def man_entries(section):
    """{option: entry text} of a "## SECTION" of the manual page."""
    text = (SOURCE_DIR / "docs" / "zmfile.1.scd").read_text()
    match = re.search(r"^## " + re.escape(section) + r"\n(.*?)(?=^#)", text, re.S | re.M)
    if not match:
        raise AssertionError(f"docs/zmfile.1.scd has no section '## {section}'")
    entries = {}
    for entry in re.split(r"\n(?=\*-)", match.group(1)):
        header, _, body = entry.partition("\n")
        for name in re.findall(r"\*(--[a-z-]+)\*", header):
            entries[name] = " ".join(body.split())
    return entries


def completion_options(command):
    text = (SOURCE_DIR / "contrib" / "bash-completion" / "zmfile").read_text()
    match = re.search(r"^\s*" + command + r'\) options="([^"]*)"', text, re.M)
    if not match:
        raise AssertionError(f"the completion has no option list for {command}")
    return set(match.group(1).split())


def in_bytes(text):
    match = _SIZE.fullmatch(text)
    if not match:
        return text
    return int(match.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[match.group(2)]


class ZmfileDocsTest(unittest.TestCase):

    def test_parser_reads_the_help(self):
        # A guard on the parser itself: a known option and default.
        serve = help_options("serve")
        self.assertEqual(serve["--port"][0], "8080")
        self.assertEqual(serve["--max-body"][0], str(1 << 30))
        self.assertIsNone(serve["--trust-proxy"][0])
        self.assertIn("--no-fsync", serve)

    def test_every_option_has_a_manual_entry_with_its_default(self):
        for command in COMMANDS:
            entries = man_entries(MAN_SECTIONS[command])
            for option, (default, description) in help_options(command).items():
                if option == "--help":
                    continue
                with self.subTest(command=command, option=option):
                    self.assertIn(option, entries, f"zmfile {command} {option} is not in the manual page")
                    match = re.search(r"Default: (?:\*([^*]+)\*|(\w+))", entries[option])
                    shown = (match.group(1) or match.group(2)) if match else None
                    if default is not None:
                        self.assertIsNotNone(shown, f"the manual page gives no default for {option} ({default})")
                        self.assertEqual(in_bytes(shown), in_bytes(default))
                    if "on by default" in description:
                        self.assertEqual(shown, "on", f"the manual page does not say {option} is on by default")

    def test_completion_offers_exactly_each_commands_options(self):
        for command in COMMANDS:
            with self.subTest(command=command):
                self.assertEqual(completion_options(command), set(help_options(command)))

    def test_config_file_example_sets_options_of_serve(self):
        text = (SOURCE_DIR / "docs" / "zmfile.1.scd").read_text()
        match = re.search(r"^# CONFIG FILE\n.*?^```\n(.*?)^```", text, re.S | re.M)
        self.assertIsNotNone(match, "the manual page shows no config file under # CONFIG FILE")
        settings = tomllib.loads("\n".join(line.removeprefix("\t") for line in match.group(1).split("\n")))
        self.assertGreater(len(settings), 3)
        options = help_options("serve")
        for key in settings:
            with self.subTest(key):
                self.assertIn("--" + key, options)
                self.assertNotIn(key, ("config", "help"))


if __name__ == "__main__":
    if not ZMFILE:
        sys.exit("usage: zmfile_docs_test.py ZMFILE")
    sys.exit(0 if unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result.wasSuccessful() else 1)

"""scripts/check-readme's rules: how blocks and markers are read, how shown
output is compared, and, end to end on a made-up README, that a wrong
example fails while right ones, a skipped one and a server on a
substituted port pass.
"""

import os
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
sys.dont_write_bytecode = True
sys.path.insert(0, str(SOURCE_DIR / "scripts"))
import readme_blocks  # noqa: E402
import readme_runners  # noqa: E402

FENCE = "```"


def markdown(text):
    return textwrap.dedent(text).replace("'''", FENCE)


class ParseTest(unittest.TestCase):

    def test_errors(self):
        # (what, markdown, the error expected, or None)
        cases = [
            ("tagged", "'''sh\necho\n'''\n", None),
            ("untagged", "text\n\n'''\necho\n'''\n", "line 3: a fenced block without a language tag"),
            ("skip with reason", "<!-- readme: skip (needs root) -->\n'''sh\nx\n'''\n", None),
            ("skip without reason", "<!-- readme: skip -->\n'''sh\nx\n'''\n", "must say why"),
            ("unknown marker", "<!-- readme: sometimes -->\n'''sh\nx\n'''\n", "unknown readme marker"),
            ("marker before prose", "<!-- readme: server -->\nprose\n\n'''sh\nx\n'''\n",
             "line 1: a readme marker not followed by a fenced block"),
            ("marker at the end", "'''sh\nx\n'''\n<!-- readme: output -->\n", "not followed by a fenced block"),
            ("output tagged sh", "<!-- readme: output -->\n'''sh\nx\n'''\n", "must not be tagged sh"),
            ("server in python", "<!-- readme: server -->\n'''python\nx\n'''\n", "only an sh block"),
        ]
        for what, text, error in cases:
            with self.subTest(what):
                _, errors = readme_blocks.parse(markdown(text))
                if error is None:
                    self.assertEqual(errors, [])
                else:
                    self.assertEqual(len(errors), 1, errors)
                    self.assertIn(error, errors[0])

    def test_blocks_sections_and_indentation(self):
        text = markdown("""\
            # Title
            '''sh
            one
            '''
            ## A
            - item:

              '''text
              {"a": 1}
              '''
            ### A.1
            <!-- readme: skip (why) -->
            ````sh
            '''
            inner
            ````
            ## B
            '''c
            int x;
            '''
            """)
        blocks, errors = readme_blocks.parse(text)
        self.assertEqual(errors, [])
        self.assertEqual([(b.line, b.language, b.section, b.heading, b.marker) for b in blocks],
                         [(2, "sh", 1, 1, ""), (8, "text", 2, 2, ""), (13, "sh", 2, 3, "skip"),
                          (18, "c", 3, 4, "")])
        self.assertEqual(blocks[1].text, '{"a": 1}\n')
        self.assertEqual(blocks[2].text, FENCE + "\ninner\n")
        self.assertEqual(blocks[2].reason, "(why)")


class ShellStepsTest(unittest.TestCase):

    def test_commands_and_their_shown_output(self):
        text = "# a comment before any command\na \\\n  --long\n# out 1\n# out 2\nb   # trailing\n\n# prose\nc\n"
        steps = readme_blocks.shell_steps(text)
        self.assertEqual([(s.command, s.expected, s.line) for s in steps],
                         [("a \\\n  --long", ["out 1", "out 2"], 2), ("b   # trailing", [], 6), ("c", [], 9)])


class OutputTest(unittest.TestCase):

    def test_matches(self):
        # (expected lines, printed text, whether they match)
        cases = [
            (["Q3"], "Q3", True),
            (["Q3"], "Q3\n", True),
            (["Q3"], "Q4", False),
            (['{"a":1,...}'], '{"a":1,"b":[2,3]}\n', True),
            (['{"a":1,...}'], '{"a":2,"b":1}\n', False),
            (["x ... z"], "x y\nz\n", False),  # ... stays within a line
            (["a", "b"], "a\n", False),
            (["a", ""], "a\n", True),
            (["a.b"], "axb", False),  # only ... is special
            ([], "", True),
            ([], "something", False),
        ]
        for expected, printed, match in cases:
            with self.subTest(expected=expected, printed=printed):
                self.assertEqual(readme_blocks.output_matches(expected, printed), match)

    def test_substitute_whole_words(self):
        replacements = {"8080": "41234", "0.0.0.0": "127.0.0.1", "VENV": "/p"}
        cases = [
            ("--port 8080 http://127.0.0.1:8080/", "--port 41234 http://127.0.0.1:41234/"),
            ("18080 80801 8080.5", "18080 80801 8080.5"),
            ("--host 0.0.0.0 10.0.0.0", "--host 127.0.0.1 10.0.0.0"),
            ("VENV/bin/pip MYVENV", "/p/bin/pip MYVENV"),
        ]
        for text, expected in cases:
            with self.subTest(text):
                self.assertEqual(readme_blocks.substitute(text, replacements), expected)


class PythonChecksTest(unittest.TestCase):

    def run_checked(self, source):
        with tempfile.TemporaryDirectory() as folder:
            script = pathlib.Path(folder) / "block.py"
            script.write_text(readme_runners.checked_python(source))
            return subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)

    def test_expressions_with_comments_are_checked(self):
        # (source, exit status, text expected in stderr)
        cases = [
            ("x = 2\nx + 1   # 3\n", 0, ""),
            ("x = 2\nx + 1   # 4\n", 1, "line 2 of the block: 3 where the README shows 4"),
            ("'abc' + 'def'  # 'ab...'\n", 0, ""),
            ("(1,\n 2)  # (1, 2)\n", 0, ""),
            ("y = 5  # 6\ny\n", 0, ""),  # an assignment's comment is prose
            ("if True:\n    1  # 2\n", 0, ""),  # only top-level expressions
        ]
        for source, status, message in cases:
            with self.subTest(source):
                result = self.run_checked(source)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)


class CheckReadmeTest(unittest.TestCase):
    """check-readme on a made-up README and a made-up build: its zmfile
    and a small server on PATH."""

    def test_wrong_examples_fail_and_the_counts_are_printed(self):
        with tempfile.TemporaryDirectory() as folder:
            root = pathlib.Path(folder)
            build = root / "build"
            build.mkdir()
            (build / "zmfile").write_text("#!/bin/sh\necho zmfile \"$@\"\n")
            (build / "echo-server").write_text(textwrap.dedent("""\
                #!/usr/bin/env python3
                import http.server, sys
                port = int(sys.argv[sys.argv.index("--port") + 1])
                if port == 8080:
                    sys.exit("the README's port reached the server: it was not replaced by a free one")
                class Answer(http.server.BaseHTTPRequestHandler):
                    def do_GET(self):
                        self.send_response(200); self.end_headers(); self.wfile.write(b"port %d\\n" % port)
                http.server.HTTPServer(("127.0.0.1", port), Answer).serve_forever()
                """))
            for program in ("zmfile", "echo-server"):
                os.chmod(build / program, 0o755)
            readme = root / "README.md"
            readme.write_text(markdown("""\
                ## One
                '''sh
                zmfile value --field title
                # zmfile value --field ...
                '''
                '''sh
                echo right
                # wrong
                '''
                <!-- readme: skip (too slow) -->
                '''sh
                exit 1
                '''
                '''json
                {}
                '''
                ## Two
                <!-- readme: server -->
                '''sh
                echo-server --port 8080
                '''
                '''sh
                curl -s http://127.0.0.1:8080/
                # port ...
                '''
                '''sh
                false
                '''
                <!-- readme: output -->
                '''text
                anything
                '''
                """))
            result = subprocess.run(
                [sys.executable, str(SOURCE_DIR / "scripts" / "check-readme"), "--build", str(build), "--prefix",
                 str(root), "--readme", str(readme)], capture_output=True, text=True, timeout=120)
        output = result.stdout + result.stderr
        self.assertEqual(result.returncode, 1, output)
        failed = re.findall(r"FAILED README.md:(\d+)", output)
        self.assertEqual(failed, ["6", "26", "30"], output)
        self.assertIn("the output of line 1 of the block differs", output)
        self.assertRegex(output, r"5 blocks run \(sh 5\), 1 output blocks and 2 commands' shown output compared, 1 marked skip, "
                                 r"1 not runnable \(json\), 3 failed")


if __name__ == "__main__":
    unittest.main(verbosity=2)

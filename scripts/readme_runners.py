"""How scripts/check-readme runs one block of each language."""

import ast
import dataclasses
import io
import os
import fcntl
import pathlib
import struct
import subprocess
import termios
import threading
import tokenize

import readme_blocks

PASSWORD = "readme-secret"  # what a block's password prompt reads
BLOCK_SECONDS = 120

_PYTHON_PRELUDE = '''import re as _readme_re, sys as _readme_sys
_readme_failures = []
def _readme_check(value, expected, line):
    pattern = ".*?".join(_readme_re.escape(piece) for piece in expected.split("..."))
    if not _readme_re.fullmatch(pattern, repr(value)):
        _readme_failures.append(f"line {line} of the block: {value!r} where the README shows {expected}")
'''
_PYTHON_EPILOGUE = '''
if _readme_failures:
    print("\\n".join(_readme_failures), file=_readme_sys.stderr)
    _readme_sys.exit(1)
'''


@dataclasses.dataclass
class Outcome:
    stdout: str = ""
    error: str = ""      # empty when the block ran as shown
    details: str = ""    # the script, its output, what differed
    compared: int = 0    # the commands whose shown output was compared


def checked_python(source):
    """`source` with every top-level expression that has a trailing comment
    turned into a check that the value's repr is the comment."""
    tree = ast.parse(source)
    comments = {token.start[0]: token.string
                for token in tokenize.generate_tokens(io.StringIO(source).readline) if token.type == tokenize.COMMENT}
    lines = source.split("\n")
    for node in reversed(tree.body):
        if not isinstance(node, ast.Expr) or node.end_lineno not in comments:
            continue
        expected = comments[node.end_lineno].lstrip("#").strip()
        expression = ast.get_source_segment(source, node.value)
        check = f"_readme_check(({expression}), {expected!r}, {node.lineno})"
        lines[node.lineno - 1:node.end_lineno] = [check] + [""] * (node.end_lineno - node.lineno)
    return _PYTHON_PRELUDE + "\n".join(lines) + _PYTHON_EPILOGUE


class PasswordTerminal:
    """A pseudo-terminal that answers every read with one line holding
    PASSWORD: in canonical mode a read() returns at most one line, so each
    prompt of each program gets the whole password however much its
    standard input buffers. It is not the controlling terminal of the block
    (which runs in a session of its own), so the prompts read it as their
    standard input."""

    def __enter__(self):
        master, self.fd = os.openpty()
        attributes = termios.tcgetattr(self.fd)
        attributes[3] &= ~termios.ECHO
        termios.tcsetattr(self.fd, termios.TCSANOW, attributes)
        self._master = master
        self._stop = threading.Event()
        self._writer = threading.Thread(target=self._feed, daemon=True)
        self._writer.start()
        return self

    def _feed(self):
        # One line at a time, into an empty input queue: a prompt that
        # flushes the queue (as getpass does) then drops whole lines only.
        line = (PASSWORD + "\n").encode()
        while not self._stop.wait(0.005):
            waiting = struct.unpack("i", fcntl.ioctl(self.fd, termios.TIOCINQ, b"\0\0\0\0"))[0]
            if waiting == 0:
                try:
                    os.write(self._master, line)
                except OSError:
                    return

    def __exit__(self, *exc):
        self._stop.set()
        self._writer.join()
        os.close(self.fd)
        os.close(self._master)


def _run(command, folder, env, stdin=subprocess.DEVNULL):
    try:
        result = subprocess.run(command, cwd=folder, env=env, stdin=stdin, capture_output=True, text=True,
                                errors="replace", timeout=BLOCK_SECONDS, start_new_session=True)
    except subprocess.TimeoutExpired as expired:
        return None, f"did not end within {BLOCK_SECONDS} s", f"{expired.stdout or ''}{expired.stderr or ''}"
    return result, "", ""


class Runners:

    def __init__(self, prefix, work):
        self.prefix = pathlib.Path(prefix)
        self.work = pathlib.Path(work)
        self.work.mkdir(parents=True, exist_ok=True)

    def run(self, language, line, text, folder, env):
        return getattr(self, "_run_" + language)(line, text, folder, env)

    def _run_sh(self, line, text, folder, env):
        steps = readme_blocks.shell_steps(text)
        outputs = self.work / f"sh-{line}"
        outputs.mkdir(exist_ok=True)
        script = ["set -eo pipefail"]
        for number, step in enumerate(steps):
            script.append(f'{{\n{step.command}\n}} > "{outputs}/{number}"' if step.expected else step.command)
        script_text = "\n".join(script) + "\n"
        with PasswordTerminal() as terminal:
            result, error, details = _run(["bash", "-c", script_text], folder, env, stdin=terminal.fd)
        if result is None:
            return Outcome(error=error, details=f"--- script:\n{script_text}{details}")
        shown = f"--- script:\n{script_text}--- stdout:\n{result.stdout}--- stderr:\n{result.stderr}"
        if result.returncode != 0:
            return Outcome(error=f"exit status {result.returncode}", details=shown)
        for number, step in enumerate(steps):
            if not step.expected:
                continue
            printed = (outputs / str(number)).read_text(errors="replace")
            if not readme_blocks.output_matches(step.expected, printed):
                return Outcome(error=f"the output of line {step.line} of the block differs from the one shown",
                               details=f"--- command:\n{step.command}\n--- shown:\n" + "\n".join(step.expected)
                               + f"\n--- printed:\n{printed}")
        return Outcome(stdout=result.stdout, compared=sum(1 for step in steps if step.expected))

    def _compile(self, line, text, folder, env, compiler, standard, suffix):
        pc_files = sorted(self.prefix.rglob("zimraxfileio.pc"))
        if not pc_files:
            return None, Outcome(error=f"no zimraxfileio.pc under {self.prefix}")
        env = dict(env, PKG_CONFIG_PATH=str(pc_files[0].parent))
        flags = {}
        for what in ("--cflags", "--libs", "--variable=libdir"):
            flags[what] = subprocess.run(["pkg-config", what, "zimraxfileio"], env=env, capture_output=True,
                                         text=True, check=True).stdout.split()
        source = self.work / f"block-{line}.{suffix}"
        source.write_text(text)
        program = self.work / f"block-{line}"
        command = [compiler, f"-std={standard}", "-Wall", "-Wextra", "-Werror", *flags["--cflags"], str(source),
                   *flags["--libs"], f"-Wl,-rpath,{flags['--variable=libdir'][0]}", "-o", str(program)]
        result, error, details = _run(command, folder, env)
        if result is None or result.returncode != 0:
            output = details if result is None else result.stdout + result.stderr
            return None, Outcome(error=error or "does not compile", details=f"--- {' '.join(command)}\n{output}")
        return program, None

    def _run_program(self, command, folder, env):
        result, error, details = _run(command, folder, env)
        if result is None:
            return Outcome(error=error, details=details)
        if result.returncode != 0:
            return Outcome(error=f"exit status {result.returncode}",
                           details=f"--- stdout:\n{result.stdout}--- stderr:\n{result.stderr}")
        return Outcome(stdout=result.stdout)

    def _run_cpp(self, line, text, folder, env):
        program, failed = self._compile(line, text, folder, env, "g++", "c++20", "cc")
        return failed or self._run_program([str(program)], folder, env)

    def _run_c(self, line, text, folder, env):
        program, failed = self._compile(line, text, folder, env, "gcc", "c11", "c")
        return failed or self._run_program([str(program)], folder, env)

    def _run_python(self, line, text, folder, env):
        python = self.prefix / "bin" / "python"
        if not os.access(python, os.X_OK):
            return Outcome(error=f"no venv in {self.prefix}: the README's venv block (VENV) must come first")
        try:
            script_text = checked_python(text)
        except SyntaxError as error:
            return Outcome(error=f"not valid Python: {error}")
        script = self.work / f"block-{line}.py"
        script.write_text(script_text)
        return self._run_program([str(python), str(script)], folder, env)

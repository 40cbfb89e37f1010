"""The fenced blocks of a Markdown file, as scripts/check-readme runs them.

Conventions of the README (also told at the top of check-readme):

- Every fenced block has a language tag. Blocks tagged sh, cpp, c and
  python are run; the others (text, json, nginx, ...) are not.
- An HTML comment on the line just before a block's fence marks it:
    <!-- readme: skip (why) -->  the block is not run; the reason is required
    <!-- readme: server -->      the block's first command is a server: it is
                                 started in the background and stopped at the
                                 next heading
    <!-- readme: output -->      a block that is not run: the standard output
                                 of the run block before it, compared
- In an sh block, full-line comments right after a command are that
  command's expected standard output, one comment line per output line.
- In a python block, a top-level expression with a trailing comment is
  checked: the comment is the repr of its value.
- In expected output, "..." stands for any text within a line.
"""

import dataclasses
import re

RUN_LANGUAGES = ("sh", "cpp", "c", "python")
MARKERS = ("skip", "server", "output")

_FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>```+|~~~+)[ \t]*(?P<language>[^\s`]*)[^`]*$")
_MARKER = re.compile(r"^<!--\s*readme:\s*(?P<word>[a-z]+)\s*(?P<rest>.*?)\s*-->$")
_HEADING = re.compile(r"^(#{1,6})\s")


@dataclasses.dataclass
class Block:
    line: int        # 1-based line of the opening fence
    language: str    # "" when the block has no tag
    text: str        # the contents, the fence's indentation removed
    marker: str      # "", or one of MARKERS
    reason: str      # the marker's text after its word (a skip's reason)
    section: int     # the number of level-1 or level-2 headings before it
    heading: int     # the number of headings of any level before it


def parse(markdown):
    """(blocks, errors) of `markdown`: errors name the line of each block
    without a language tag, each unknown or misplaced marker and each skip
    without a reason."""
    lines = markdown.split("\n")
    blocks, errors = [], []
    section = heading = 0
    pending = None  # (line number, match) of a marker waiting for its fence
    index = 0
    while index < len(lines):
        line = lines[index]
        fence = _FENCE.match(line)
        stripped = line.strip()
        if fence is None:
            marker = _MARKER.match(stripped)
            if marker:
                if pending:
                    errors.append(f"line {pending[0]}: a readme marker not followed by a fenced block")
                pending = (index + 1, marker)
            elif stripped:
                if pending:
                    errors.append(f"line {pending[0]}: a readme marker not followed by a fenced block")
                    pending = None
                level = _HEADING.match(line)
                if level:
                    heading += 1
                    section += len(level.group(1)) <= 2
            index += 1
            continue
        indent, mark = fence.group("indent"), fence.group("fence")
        closing = re.compile(r"^[ \t]*" + re.escape(mark[0]) + "{" + str(len(mark)) + r",}[ \t]*$")
        end = index + 1
        while end < len(lines) and not closing.match(lines[end]):
            end += 1
        body = [text[len(indent):] if text.startswith(indent) else text.lstrip() for text in lines[index + 1:end]]
        block = Block(index + 1, fence.group("language"), "\n".join(body) + "\n", "", "", section, heading)
        if pending:
            block.marker, block.reason = pending[1].group("word"), pending[1].group("rest")
            pending = None
        errors.extend(_block_errors(block))
        blocks.append(block)
        index = end + 1
    if pending:
        errors.append(f"line {pending[0]}: a readme marker not followed by a fenced block")
    return blocks, errors


def _block_errors(block):
    where = f"line {block.line}"
    if not block.language:
        yield f"{where}: a fenced block without a language tag (sh, cpp, c, python, text, ...)"
    if block.marker and block.marker not in MARKERS:
        yield f"{where}: unknown readme marker {block.marker!r} (known: {', '.join(MARKERS)})"
    if block.marker == "skip" and not re.fullmatch(r"\(.+\)", block.reason):
        yield f"{where}: a skipped block must say why: <!-- readme: skip (why) -->"
    if block.marker == "output" and block.language in RUN_LANGUAGES:
        yield f"{where}: an output block must not be tagged {block.language}"
    if block.marker == "server" and block.language != "sh":
        yield f"{where}: only an sh block may start a server"


@dataclasses.dataclass
class ShellStep:
    command: str          # one command, continuation lines included
    expected: list        # its expected output lines ([] when none is shown)
    line: int             # 1-based line of the command within the block


def shell_steps(text):
    """The commands of an sh block, each with the output shown under it."""
    steps = []
    after_command = False
    lines = text.rstrip("\n").split("\n")
    index = 0
    while index < len(lines):
        line = lines[index]
        if not line.strip():
            after_command = False
            index += 1
            continue
        if line.lstrip().startswith("#"):
            if after_command:
                steps[-1].expected.append(re.sub(r"^\s*# ?", "", line))
            index += 1
            continue
        start = index
        while lines[index].rstrip().endswith("\\") and index + 1 < len(lines):
            index += 1
        steps.append(ShellStep("\n".join(lines[start:index + 1]), [], start + 1))
        after_command = True
        index += 1
    return steps


def line_pattern(expected):
    """A regular expression for one expected line: "..." is any text."""
    return re.compile(".*?".join(re.escape(piece) for piece in expected.rstrip().split("...")))


def output_matches(expected_lines, actual):
    """Whether `actual` (text) has exactly the expected lines, each matching
    its pattern; trailing blanks and a final newline do not count."""
    actual_lines = [line.rstrip() for line in actual.rstrip("\n").split("\n")] if actual.strip() else []
    expected_lines = [line.rstrip() for line in expected_lines]
    while expected_lines and not expected_lines[-1]:
        expected_lines.pop()
    return len(actual_lines) == len(expected_lines) and all(
        line_pattern(want).fullmatch(got) for want, got in zip(expected_lines, actual_lines))


def substitute(text, replacements):
    """`text` with each whole word of `replacements` (word: new text)
    replaced in one pass, longer words first."""
    if not replacements:
        return text
    words = sorted(replacements, key=len, reverse=True)
    pattern = re.compile(r"(?<![\w.])(" + "|".join(re.escape(word) for word in words) + r")(?!\w|\.\d)")
    return pattern.sub(lambda match: replacements[match.group(1)], text)

#!/usr/bin/env python3
"""Makes a program's manual page from its own --help, so the page lists exactly
the commands and options the program takes:

    usage_to_man.py PROGRAM TEMPLATE DATE OUT

TEMPLATE is roff with the parts no --help says (name, description, examples);
@VERSION@ and @DATE@ in it are replaced, the line @SYNOPSIS@ becomes the usage
forms of --help, and the line @USAGE@ the rest of it, as sections. The --help text is read by its layout:

  - blocks are separated by blank lines; the first starts "usage: " and gives the
    SYNOPSIS, one form a line;
  - a block that starts with "heading:" at the left margin is the section HEADING,
    the rest of that line its first words; a block with no heading is OPTIONS;
  - in a section, a line indented two spaces starts an entry: its term, then
    after two or more spaces what it does; a line indented less than where that
    text starts is a further entry of the same kind, in plain type (where
    it has no such gap, the whole line is its term); deeper lines go on the text
    before them.
"""

import re
import subprocess
import sys


def roff_text(s):
    s = s.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + s if s[:1] in (".", "'") else s


def bold(s):
    return "\\fB" + roff_text(s) + "\\fR"


def blocks_of(lines):
    block = []
    for line in lines:
        if line.strip():
            block.append(line.rstrip())
        elif block:
            yield block
            block = []
    if block:
        yield block


def indent_of(line):
    return len(line) - len(line.lstrip(" "))


def split_term(line):
    """(term, text, text column) of an entry line, or None without a two-space gap."""
    m = re.match(r"( *)(\S.*?)( {2,})(\S.*)$", line)
    return (m.group(2), m.group(4), m.start(4)) if m else None


def synopsis(block, program):
    """One form a paragraph, its lines folded under the program's name."""
    forms = []
    for line in block:
        line = re.sub(r"^usage:\s*", "", line).strip()
        if line.startswith(program + " ") or not forms:
            forms.append(line)
        else:
            forms[-1] += " " + line
    out = [".SH SYNOPSIS"]
    for form in forms:
        words = form.split(" ", 1)
        out += [f'.IP "{bold(words[0])}" {len(program) + 1}', roff_text(words[1] if len(words) > 1 else "")]
    return out


def section(block):
    first = block[0]
    m = re.match(r"(\S[^:]*):\s*(.*)$", first) if indent_of(first) == 0 else None
    if m:
        title, rest = m.group(1).upper(), m.group(2)
        lines = ([rest] if rest else []) + block[1:]
    else:
        title, lines = "OPTIONS", block
    out = [".SH " + title]
    # Where the entries' text starts: the leftmost text after a term.
    column = min((e[2] for e in map(split_term, lines) if e), default=0)
    for line in lines:
        depth = indent_of(line)
        if depth == 0 or (not column and depth != 2):
            out.append(roff_text(line.strip()))  # a paragraph of its own
        elif depth == 2 or depth < column:
            term, text, _ = split_term(line) or (line.strip(), "", 0)
            out += [".TP", bold(term) if depth == 2 else roff_text(term)]
            if text:
                out.append(roff_text(text))
        else:
            out.append(roff_text(line.strip()))
    return out


def page(help_text, program):
    blocks = list(blocks_of(help_text.splitlines()))
    if not blocks or not blocks[0][0].startswith("usage:"):
        raise SystemExit(f"{program} --help does not start with 'usage:'")
    return [synopsis(blocks[0], program)] + [section(block) for block in blocks[1:]]


def main():
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
    program, template, date, out = sys.argv[1:]
    name = program.rsplit("/", 1)[-1]
    run = lambda arg: subprocess.run([program, arg], check=True, capture_output=True, text=True).stdout
    version = run("--version").split()[-1]
    with open(template, encoding="utf-8") as f:
        text = f.read().replace("@VERSION@", version).replace("@DATE@", date)
    sections = page(run("--help"), name)
    for marker, part in (("@SYNOPSIS@", sections[:1]), ("@USAGE@", sections[1:])):
        if f"\n{marker}\n" not in text:
            raise SystemExit(f"{template}: no line {marker}")
        text = text.replace(f"\n{marker}\n", "\n" + "\n".join(sum(part, [])) + "\n")
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()

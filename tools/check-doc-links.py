#!/usr/bin/env python3
"""Checks the links between the README and the pages under docs/: every relative
link names a file that exists, and every #anchor a heading of that file (as
GitHub makes anchors of headings). Exit status 1, with each broken link, when
one is broken.

    tools/check-doc-links.py [ROOT]
"""
import pathlib
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def outside_code(text):
    """The lines outside fenced blocks, with inline code spans blanked."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if not fenced:
            yield number, re.sub(r"`[^`]*`", "", line)


def anchor(heading):
    slug = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return slug.replace(" ", "-")


def anchors(path):
    seen = {}
    found = set()
    for _, line in outside_code(path.read_text(encoding="utf-8")):
        m = HEADING.match(line)
        if m:
            base = anchor(m.group(2))
            n = seen.get(base, 0)
            seen[base] = n + 1
            found.add(base if n == 0 else f"{base}-{n}")
    return found


def broken_links(root):
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    for page in pages:
        for number, line in outside_code(page.read_text(encoding="utf-8")):
            for target in LINK.findall(line):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue  # a URL, not a page of ours
                name, _, fragment = target.partition("#")
                dest = (page.parent / name).resolve() if name else page
                where = f"{page.relative_to(root)}:{number}: {target}"
                if not dest.exists():
                    yield f"{where}: no such file"
                elif fragment and dest.suffix == ".md" and fragment not in anchors(dest):
                    yield f"{where}: no heading makes #{fragment} in {dest.relative_to(root)}"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent).resolve()
    broken = list(broken_links(root))
    for line in broken:
        print(line)
    pages = 1 + len(list((root / "docs").glob("*.md")))
    print(f"{pages} pages: {len(broken)} broken links" if broken else f"{pages} pages: every link leads somewhere")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The manual pages as man shows them: groff has nothing to warn about, each page
has its NAME, SYNOPSIS and EXIT STATUS, and zolhost(1) says every word of
zolhost --help in its order (the usage forms in SYNOPSIS, the rest from OPTIONS to
EXIT STATUS), so no option or line of the help is lost or garbled on the way.

    man_pages_test.py ZOLHOST PAGE_DIR
"""

import os
import re
import shutil
import subprocess
import sys

zolhost, pages = sys.argv[1:]
if not shutil.which("man"):
    sys.exit("man not found (Debian: man-db; tools/install-build-deps.sh installs it)")
failures = []


def render(page):
    env = dict(os.environ, MANWIDTH="90", LANG="C.UTF-8")
    env.pop("MAN_KEEP_FORMATTING", None)
    done = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", os.path.join(pages, page)],
                          capture_output=True, text=True, env=env, timeout=60)
    if done.returncode != 0 or done.stderr.strip():
        failures.append(f"{page}: man -l ended {done.returncode}: {done.stderr.strip()}")
    # groff's typographic hyphens and quotes, as the help writes them
    text = done.stdout.translate(str.maketrans({"\u2010": "-", "\u2212": "-", "\u2019": "'", "\u2018": "`"}))
    sections, name = {}, None
    for line in text.splitlines():
        if re.fullmatch(r"[A-Z][A-Z ]+", line):
            name = line
            sections[name] = []
        elif name:
            sections[name] += line.split()
    for wanted in ("NAME", "SYNOPSIS", "EXIT STATUS"):
        if wanted not in sections:
            failures.append(f"{page}: no {wanted} section")
    return sections


def differ(what, said, shown):
    if said != shown:
        at = next((k for k, (a, b) in enumerate(zip(said, shown)) if a != b), min(len(said), len(shown)))
        failures.append(f"zolhost.1.gz: {what} differs from --help at word {at}: "
                        f"help {' '.join(said[at:at + 8])!r}, page {' '.join(shown[at:at + 8])!r}")


render("zolemul.1.gz")
page = render("zolhost.1.gz")
help_text = subprocess.run([zolhost, "--help"], capture_output=True, text=True, check=True, timeout=30).stdout
usage, _, rest = help_text.partition("\n\n")
differ("SYNOPSIS", usage.split()[1:], page.get("SYNOPSIS", []))
# Headings ("commands:") are the page's section titles; their text is compared.
said = re.sub(r"(?m)^\S[^:\n]*:", "", rest).split()
order = list(page)
start = order.index("OPTIONS") if "OPTIONS" in order else 0
end = order.index("EXIT STATUS") + 1 if "EXIT STATUS" in order else len(order)
differ("OPTIONS to EXIT STATUS", said, [w for title in order[start:end] for w in page[title]])

for failure in failures:
    print(failure)
print(f"manual pages: {'FAILED' if failures else 'ok'}")
sys.exit(1 if failures else 0)

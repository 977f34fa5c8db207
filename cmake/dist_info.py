#!/usr/bin/env python3
"""The dist-info of a Python project, as setuptools makes it from the project's
pyproject.toml (METADATA, entry_points.txt, top_level.txt): what lets
importlib.metadata, and so pytest, find an installed plugin and its entry points.

    dist_info.py PROJECT_DIR VERSION OUT_DIR

Works in a copy of PROJECT_DIR's pyproject.toml and packages, so setuptools leaves
nothing in the checkout. Fails when the project's version is not VERSION.
"""

import contextlib
import io
import os
import shutil
import sys
import tempfile
import warnings

project, version, out = sys.argv[1:]
import setuptools.build_meta as backend  # noqa: E402  (Debian: python3-setuptools)

with tempfile.TemporaryDirectory() as work:
    for name in os.listdir(project):
        source = os.path.join(project, name)
        if name == "pyproject.toml":
            shutil.copy(source, work)
        elif os.path.isfile(os.path.join(source, "__init__.py")):
            shutil.copytree(source, os.path.join(work, name), ignore=shutil.ignore_patterns("__pycache__"))
    made = os.path.join(work, "out")
    os.mkdir(made)
    os.chdir(work)
    said = io.StringIO()  # setuptools' account of each file it writes
    warnings.filterwarnings("ignore", message=".*is still \\*beta\\*")
    with contextlib.redirect_stdout(said):
        name = backend.prepare_metadata_for_build_wheel(made)
    if not name.endswith(f"-{version}.dist-info"):
        sys.exit(f"{project}/pyproject.toml: {name} is not version {version}: give it the project's version")
    shutil.rmtree(os.path.join(out, name), ignore_errors=True)
    os.makedirs(out, exist_ok=True)
    shutil.copytree(os.path.join(made, name), os.path.join(out, name))

"""Runs every example of the documentation and compares what it prints with what the page shows.

The pages are read from the built document trees (conftest.py), page by page, in document
order, as a reader would work through them:

- a ``python`` block with a ``:caption:`` naming a ``.py`` file is written to that file,
  in a fresh working directory of the page; a console block runs it;
- any other ``python`` block runs in the page's namespace, shared by all its examples;
  what it prints must be exactly the ``output`` block (``:class: output``) that follows
  it, or nothing when none follows;
- a doctest block (``>>>``) runs in the same namespace, checked by :mod:`doctest` with
  ``ELLIPSIS``;
- in a ``console`` block, each command that starts with ``.venv/bin/`` runs, in the page's
  working directory, with ``.venv/bin/`` read as the environment these checks run in;
  its output (stdout, then stderr) must be the lines shown under it, where the working
  directory reads ``/home/you/nembra``. Other commands (building, cloning, activating)
  are shown, not run.

Outputs are compared exactly, after one normalisation that the guide describes: an upload
URL ``file://<store>/upload-<random>/<name>`` reads ``file://…/upload-…/<name>`` on both
sides. In a console block a line ``...`` stands for any number of lines. Each page runs
with ``NEMBRA_STORAGE_DIR`` set to a new directory of mode 0700, so that no example
writes into the user's store.

Blocks inside the descriptions that autodoc generates are the module's own docstring
examples: tests/test_docstring_examples.py runs those.
"""

from __future__ import annotations

import contextlib
import doctest
import io
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from docutils import nodes
from sphinx import addnodes

UPLOAD_URL = re.compile(r"file://[^\s\"']*/upload-[^/\s\"']+/")
VENV_BIN = ".venv/bin/"
SHOWN_WORKDIR = "/home/you/nembra"


def venv_path(argument):
    """An argument with the environment's path in place of .venv/bin/: the one running these checks."""
    if not argument.startswith(VENV_BIN):
        return argument
    program = argument.removeprefix(VENV_BIN)
    return sys.executable if program == "python" else str(Path(sys.executable).parent / program)


def normalise(text):
    return UPLOAD_URL.sub("file://…/upload-…/", text)


def examples(doctree):
    """The literal and doctest blocks of a page outside autodoc's descriptions, in order."""

    def wanted(node):
        return isinstance(node, (nodes.literal_block, nodes.doctest_block))

    for node in doctree.findall(wanted):
        parent = node.parent
        inside_description = False
        while parent is not None:
            if isinstance(parent, addnodes.desc):
                inside_description = True
                break
            parent = parent.parent
        if not inside_description:
            yield node


def caption(block):
    container = block.parent
    if isinstance(container, nodes.container) and container.get("literal_block"):
        for child in container.children:
            if isinstance(child, nodes.caption):
                return child.astext()
    return None


def where(block):
    return f"{Path(block.source or '?').name}, line {block.line}"


def lines_match(shown, actual):
    """Whether ``actual`` is ``shown``, where a shown line '...' stands for any lines."""
    pattern = "\n".join(".*?" if line == "..." else re.escape(line) for line in shown.split("\n"))
    return re.fullmatch(pattern, actual, flags=re.DOTALL) is not None


def console_commands(text):
    """The (command, shown output) pairs of a console block."""
    pairs = []
    for line in text.split("\n"):
        if line.startswith("$ "):
            pairs.append([line[2:], []])
        elif pairs:
            pairs[-1][1].append(line)
    return [(command, "\n".join(output)) for command, output in pairs]


class Page:
    """Runs the examples of one page, in a working directory and namespace of its own."""

    def __init__(self, docname, workdir):
        self.docname = docname
        self.workdir = workdir
        self.namespace = {"__name__": "__main__"}
        self.written = set()
        self.run_commands = []
        self.pending = None  # the block whose output the next output block shows
        self.compared = 0

    def compare(self, block, shown, actual):
        assert normalise(actual) == normalise(shown), f"{self.docname}: output of the example before {where(block)}"
        self.compared += 1

    def finish_pending(self):
        if self.pending is not None:
            block, printed = self.pending
            assert printed == "", f"{self.docname}: {where(block)} prints, but the page shows no output:\n{printed}"
            self.pending = None

    def python(self, block):
        name = caption(block)
        if name is not None:
            assert name.endswith(".py"), f"{where(block)}: a caption of a Python block names its file"
            (self.workdir / name).write_text(block.astext() + "\n")
            self.written.add(name)
            return
        printed = io.StringIO()
        code = compile(block.astext(), f"<{self.docname}, {where(block)}>", "exec")
        with contextlib.redirect_stdout(printed):
            exec(code, self.namespace)
        self.pending = (block, printed.getvalue())

    def output(self, block):
        assert self.pending is not None, f"{self.docname}: output block at {where(block)} follows no example"
        _, printed = self.pending
        self.pending = None
        self.compare(block, block.astext() + "\n", printed)

    def doctest(self, block):
        test = doctest.DocTestParser().get_doctest(
            block.astext(), self.namespace, f"{self.docname}, {where(block)}", block.source, block.line
        )
        report = io.StringIO()
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test, out=report.write, clear_globs=False)
        # The test ran in a copy of the namespace: keep what it defined for the next examples.
        self.namespace.update(test.globs)
        assert runner.failures == 0, report.getvalue()
        self.compared += runner.tries

    def console(self, block, skipped):
        for command, shown in console_commands(block.astext()):
            if not command.startswith(VENV_BIN):
                continue
            argv = [venv_path(argument) for argument in shlex.split(command)]
            if Path(argv[0]).name == "pyright" and shutil.which("node") is None:
                skipped.append(f"{self.docname}: {command} (pyright needs node)")
                continue
            completed = subprocess.run(argv, cwd=self.workdir, capture_output=True, text=True)
            actual = (completed.stdout + completed.stderr).rstrip("\n").replace(str(self.workdir), SHOWN_WORKDIR)
            assert lines_match(normalise(shown), normalise(actual)), (
                f"{self.docname}: {where(block)}: output of {command!r}:\n{actual}"
            )
            self.run_commands.append(command)
            self.compared += 1

    def run(self, doctree, skipped):
        for block in examples(doctree):
            classes = block.get("classes", [])
            language = block.get("language")
            if isinstance(block, nodes.doctest_block) or language == "pycon":
                self.finish_pending()
                self.doctest(block)
            elif "output" in classes:
                self.output(block)
            elif language == "python":
                self.finish_pending()
                self.python(block)
            elif language == "console":
                self.finish_pending()
                self.console(block, skipped)
            else:
                self.finish_pending()
                assert language in ("text", "sh", "ini", "toml", "none"), (
                    f"{self.docname}: {where(block)}: a {language} block is neither an example nor its output"
                )
        self.finish_pending()
        for name in self.written:
            assert any(name in shlex.split(command) for command in self.run_commands), (
                f"{self.docname}: {name} is shown but no command on the page runs it"
            )


def pages_with_examples():
    return sorted(
        path.relative_to(Path(__file__).parent).with_suffix("").as_posix()
        for path in Path(__file__).parent.rglob("*.rst")
        if "_build" not in path.parts
    )


GUIDE_PAGES = [
    "guide/getting-started", "guide/results", "guide/files", "guide/errors", "guide/typing", "guide/performance"
]


@pytest.fixture
def page_environment(monkeypatch, tmp_path):
    """A working directory and an empty upload store of mode 0700 for one page."""
    store = Path(tempfile.mkdtemp(prefix="store-", dir=tmp_path))
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(store))
    monkeypatch.setenv("MYPY_CACHE_DIR", str(tmp_path / "mypy-cache"))
    workdir = tmp_path / "work"
    workdir.mkdir()
    monkeypatch.chdir(workdir)
    return workdir


@pytest.mark.parametrize("docname", pages_with_examples())
def test_every_example_of_the_page_runs_and_prints_what_the_page_shows(build, docname, page_environment):
    app, _ = build
    page = Page(docname, page_environment)
    skipped = []
    page.run(app.env.get_doctree(docname), skipped)
    if docname in GUIDE_PAGES:
        assert page.compared > 0, f"{docname}: the guide page checks no output"
    for reason in skipped:
        pytest.skip(f"not run: {reason}")


def test_the_guide_is_in_the_table_of_contents(build):
    app, _ = build
    assert set(GUIDE_PAGES) <= set(app.env.toctree_includes["index"])

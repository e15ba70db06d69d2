"""The README's examples work as shown: every python block prints exactly the text block that
follows it, and the interactive (pycon) blocks pass as one doctest session."""

import contextlib
import doctest
import io
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)


def fenced_blocks():
    """(language, body, line number) of every fenced block, in order."""
    text = README.read_text(encoding="utf-8")
    return [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1)
            for m in FENCE.finditer(text)]


def python_examples():
    """Each python block with the text block right after it (its shown output), if any."""
    blocks = fenced_blocks()
    out = []
    for i, (lang, body, line) in enumerate(blocks):
        if lang == "python":
            shown = blocks[i + 1][1] if i + 1 < len(blocks) and blocks[i + 1][0] == "text" else None
            out.append(pytest.param(body, shown, id=f"line{line}"))
    return out


@pytest.mark.parametrize("code, shown", python_examples())
def test_readme_python_example_prints_what_it_shows(code, shown):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})
    if shown is not None:
        assert printed.getvalue() == shown


def test_readme_interactive_examples_pass_as_doctest():
    session = "\n".join(body for lang, body, _ in fenced_blocks() if lang == "pycon")
    assert ">>>" in session
    test = doctest.DocTestParser().get_doctest(session, {}, "README", str(README), 0)
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.write)
    assert runner.failures == 0, report.getvalue()

"""The usage examples of the README run as written: all of them from 3.11 on,
and on 3.9, which has no python-graphblas, all but the ones marked as
needing it."""
import doctest
import pathlib
import re
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
NEEDS_GRAPHBLAS = re.compile(r"<!-- needs python-graphblas -->\n```python\n.*?```\n", re.S)


def test_readme_examples():
    text = README.read_text()
    marked = NEEDS_GRAPHBLAS.findall(text)
    assert marked, "the README's python-graphblas example is gone"
    if sys.version_info < (3, 10):
        text = NEEDS_GRAPHBLAS.sub("", text)
    test = doctest.DocTestParser().get_doctest(text, {}, README.name, str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    result = runner.run(test)
    assert result.attempted > 20
    assert result.failed == 0

"""Sphinx configuration of the documentation site (make docs builds it into build/docs/).

Every page is made from the repository's own sources: the README's user part, the
guide, the example programs with their checked output, and the API reference that
sphinx-autoapi generates from the type stubs.
"""
import shutil
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# sphinx-autoapi names a package after its folder: the stubs are read under the
# module's own name from a copy made afresh at every build.
STUBS = ROOT / "build" / "docs-stubs"
shutil.rmtree(STUBS, ignore_errors=True)
(STUBS / "zendrik").mkdir(parents=True)
shutil.copyfile(ROOT / "stubs" / "zendrik-stubs" / "__init__.pyi", STUBS / "zendrik" / "__init__.pyi")

project = "zendrik"
author = "The zendrik developers"
copyright = "the zendrik developers"

extensions = ["myst_parser", "autoapi.extension", "sphinx.ext.napoleon"]
# autoapi writes its pages as reStructuredText.
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"

# The guide's links to its own sections use GitHub's heading anchors.
myst_heading_anchors = 3
# The README's sections start at level 2 where a page includes one of them.
suppress_warnings = ["myst.header"]

# The module's own docstrings are bare signatures: the stubs carry the words.
autoapi_type = "python"
autoapi_dirs = [str(STUBS / "zendrik")]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_options = ["members", "special-members", "show-module-summary"]
autoapi_member_order = "bysource"

html_theme = "pydata_sphinx_theme"
html_title = "zendrik"
# A first visit has no stored colour mode, which the theme reports as a console error.
html_context = {"default_mode": "auto"}
# Without an icon of its own the browser asks for /favicon.ico, which is not there.
html_favicon = "_static/zendrik.svg"
# Every page is one of the top bar's: the left sidebar would stay empty.
html_sidebars = {"**": []}
# The pages' sources are mostly include directives, of no use to a reader.
html_show_sourcelink = False
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
nitpicky = True

# Names from the standard library and the module's exception, which is made at
# run time and has no entry of its own: linking them would need Python's
# inventory fetched at every build.
nitpick_ignore = [("py:class", "collections.abc.Sequence")] + [
    ("py:exc", name) for name in ("PanicException", "TypeError", "OverflowError")
]


def show_constructor(app, what, name, obj, skip, options):
    """autoapi hides __new__; it is the constructor here, the class has no __init__."""
    if name == "zendrik.Matrix.__new__":
        return False
    return None


def add_example_programs(app, docname, source):
    """The examples page lists every program under examples/ with the output its test expects."""
    if docname != "examples":
        return
    for program in sorted((ROOT / "examples").glob("*.py")):
        output = ROOT / "tests" / "expected" / f"{program.stem}.txt"
        source[0] += (
            f"\n### {program.name}\n\n"
            f"```{{literalinclude}} ../examples/{program.name}\n```\n\n"
            f"Its output:\n\n"
            f"```{{literalinclude}} ../tests/expected/{output.name}\n:language: text\n```\n"
        )


def setup(app):
    app.connect("autoapi-skip-member", show_constructor)
    app.connect("source-read", add_example_programs)

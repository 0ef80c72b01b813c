"""Sphinx configuration of turnsmith's manual.

The pages are Markdown (MyST); the API reference is read by autodoc from the
installed module, whose methods carry text signatures and docstrings. Every
Python example on the pages is a doctest, run by the doctest builder.
"""

import doctest
import re

project = "turnsmith"
copyright = "the turnsmith developers"
version = release = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_heading_anchors = 5

# Output blocks are plain text; Python examples say so themselves.
highlight_language = "text"

html_theme = "furo"
html_title = "turnsmith"
html_static_path: list[str] = []

# The module is a C extension: its signatures come from __text_signature__,
# and the order of the members is the order the classes list them in.
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True}

# NumPy wraps long arrays where the width runs out; "..." stands for output
# that the text says is elided.
doctest_default_flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE | doctest.DONT_ACCEPT_TRUE_FOR_1


def public_names():
    """Every public name of the module and of its classes, dotted."""
    import turnsmith

    names = set()
    for name in dir(turnsmith):
        if name.startswith("_"):
            continue
        names.add(f"turnsmith.{name}")
        value = getattr(turnsmith, name)
        if isinstance(value, type):
            names.update(f"turnsmith.{name}.{member}" for member in vars(value) if not member.startswith("_"))
    return names


def check_reference(app, env):
    """Fails the build (a warning, which -W makes an error) for each public
    name that the API reference does not document."""
    from sphinx.util import logging

    documented = set(env.get_domain("py").objects)
    for name in sorted(public_names() - documented):
        logging.getLogger(__name__).warning("the API reference leaves out %s", name, location="api")


def plain_docstring(app, what, name, obj, options, lines):
    """The module's docstrings are plain text, not reStructuredText: each
    paragraph becomes one paragraph with every markup character escaped, so
    that "return_" or "x *= 3" reads as written."""
    paragraphs, current = [], []
    for line in [*lines, ""]:
        if line.strip():
            current.append(line.strip())
        elif current:
            paragraphs.append(" ".join(current))
            current = []
    lines[:] = []
    for paragraph in paragraphs:
        escaped = re.sub(r"([\\*`_|\[\]<>:])", r"\\\1", paragraph)
        lines.extend(["\\" + escaped if escaped[0] in "-+#0123456789(" else escaped, ""])


def setup(app):
    app.connect("autodoc-process-docstring", plain_docstring)
    app.connect("env-check-consistency", check_reference)

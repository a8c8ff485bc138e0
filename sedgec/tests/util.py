"""Small in-memory catalogues for the front-end tests."""
import textwrap

from sedgec.errors import SedgeErrors
from sedgec.model import build_model
from sedgec.parse import parse_module_text, parse_version_text

VERSIONS = """\
namespace tarn
  dependencies sedge.reflect sedge.query
  wireNamespace tarn25
  taskType tarn.Task
  taskNamespace tarn25
  versionFlags 4
  ltsSlots 2
  trailer 1 1 24 26
release version2 "2.5"
release version1 "2.0" wireNamespace tarn2
parent version2 version1
parent version1 sedge.query.version.version1
"""


def catalogue(*modules, versions=VERSIONS):
    """Build a model from module texts: each text starts with its own module line."""
    files = [parse_module_text(textwrap.dedent(text), f"{_ns(text)}.sedge") for text in modules]
    return build_model(files, parse_version_text(versions, "versions.sedge"))


def errors_of(*modules, versions=VERSIONS):
    try:
        catalogue(*modules, versions=versions)
    except SedgeErrors as e:
        return [str(x) for x in e.errors]
    return []


def _ns(text):
    return textwrap.dedent(text).split("\n", 1)[0].split()[1]

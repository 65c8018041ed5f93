"""The installed distribution: one version, complete metadata, stubs beside the module.
The wheel and sdist themselves are checked by `nox -s test-dist`."""
import importlib.metadata
import pathlib
import tomllib

import zendrik

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def test_version_comes_from_pyproject():
    assert importlib.metadata.version("zendrik") == PROJECT["version"]
    # The module itself carries no second copy of it.
    assert not hasattr(zendrik, "__version__")


def test_metadata_is_complete():
    meta = importlib.metadata.metadata("zendrik")
    assert meta["Summary"] == PROJECT["description"]
    assert meta["License"] == "MIT"
    assert meta["Requires-Python"] == ">=3.12"
    assert meta["Description-Content-Type"] == "text/markdown"
    assert "docs/guide.md" in meta["Description"]
    classifiers = meta.get_all("Classifier")
    assert {"License :: OSI Approved :: MIT License"} | {
        f"Programming Language :: Python :: 3.{minor}" for minor in range(12, 16)} <= set(classifiers)
    assert (meta.get_all("Project-URL") or []) == [
        f"{label}, {url}" for label, url in PROJECT.get("urls", {}).items()]


def test_stubs_are_installed_beside_the_module():
    files = {str(f) for f in importlib.metadata.files("zendrik")}
    assert "zendrik-stubs/__init__.pyi" in files
    site = pathlib.Path(zendrik.__file__).parent
    assert (site / "zendrik-stubs" / "__init__.pyi").read_text() == \
        (ROOT / "stubs" / "zendrik-stubs" / "__init__.pyi").read_text()

"""Every binding source is part of exactly one extension module where the
package expects it: a source file is a module of its own, and a folder
that is no package is one module of all the sources below it."""
import importlib
import importlib.machinery
import os
import pathlib

import pytest

import velna

SOURCES = pathlib.Path(__file__).resolve().parents[2] / "python"


def is_package(folder):
    return (folder / "__init__.py").exists() or (folder / "__init__.cpp").exists()


def module_of(source):
    """The dotted name of the module |source| is part of, and whether that
    module is a folder's."""
    parts = source.relative_to(SOURCES).parts
    for depth in range(2, len(parts)):
        if not is_package(SOURCES.joinpath(*parts[:depth])):
            return ".".join(parts[:depth]), True
    name = ".".join(parts)[: -len(".cpp")]
    return (name[: -len(".__init__")] if name.endswith(".__init__") else name), False


MODULES, FOLDERS = {}, set()
for source in sorted((SOURCES / "velna").rglob("*.cpp")):
    name, of_folder = module_of(source)
    MODULES.setdefault(name, []).append(source)
    if of_folder:
        FOLDERS.add(name)


def test_the_tree_holds_a_module_of_several_sources():
    assert any(len(MODULES[name]) > 1 for name in FOLDERS), FOLDERS


@pytest.mark.parametrize("name", sorted(MODULES))
def test_every_module_is_one_extension_where_the_package_expects_it(name):
    module = importlib.import_module(name)
    path = pathlib.Path(module.__file__)
    assert path.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), path
    expected = pathlib.Path(velna.__file__).parent.joinpath(*name.split(".")[1:])
    if path.name.startswith("__init__."):
        assert path.parent == expected
    else:
        assert path.parent == expected.parent and path.name.split(".")[0] == expected.name
        # A module made of a folder leaves no folder of that name beside it.
        assert not os.path.isdir(expected)

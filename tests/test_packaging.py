"""The package's metadata: the Python versions its classifiers name are the
ones `requires-python` admits, and the interpreter running the tests is one."""

import os
import sys
import tomllib

import pytest
from packaging.specifiers import SpecifierSet

PYPROJECT = os.path.join(os.path.dirname(__file__), os.pardir, "pyproject.toml")


@pytest.fixture(scope="module")
def project():
    with open(PYPROJECT, "rb") as f:
        return tomllib.load(f)["project"]


def test_classifiers_name_exactly_the_admitted_versions(project):
    admitted = SpecifierSet(project["requires-python"])
    prefix = "Programming Language :: Python :: "
    named = [c[len(prefix):] for c in project["classifiers"] if c.startswith(prefix + "3.")]
    assert named == [f"3.{minor}" for minor in range(40) if f"3.{minor}" in admitted]


def test_the_running_interpreter_is_admitted(project):
    running = "{}.{}.{}".format(*sys.version_info[:3])
    assert running in SpecifierSet(project["requires-python"])

"""zol_mew.__version__ is the installed distribution's version."""

import importlib.metadata

import pytest

import zol_mew


def test_version_comes_from_the_distribution_metadata() -> None:
    try:
        expected = importlib.metadata.version("zol-kov")
    except importlib.metadata.PackageNotFoundError:  # a development build used in place
        expected = "0+unknown"
    assert zol_mew.__version__ == expected


def test_other_missing_attributes_still_raise_attribute_error() -> None:
    with pytest.raises(AttributeError, match="has no attribute 'no_such_name'"):
        zol_mew.no_such_name  # noqa: B018
    assert not hasattr(zol_mew, "__path__")  # an extension module, not a package

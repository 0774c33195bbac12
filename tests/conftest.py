import pytest

from storefile import sorted_store


@pytest.fixture
def store_path(tmp_path):
    """Two keys: 'a' -> b"A" and the two-byte key U+00E9 -> b"E"."""
    return sorted_store([b"A", b"E"], [("a", 0), ("\u00e9", 1)]).write(tmp_path / "s.vlks")


@pytest.fixture
def bad_crc_path(tmp_path):
    """A sound store whose stored file CRC is wrong."""
    return sorted_store([b"A"], [("a", 0)]).write(tmp_path / "crc.vlks", file_crc32=1)


def pytest_addoption(parser):
    # Set by `make test` (the pytest target), which builds the wheel once.
    parser.addoption("--wheel", default=None, help="the built wheel, for tests/test_install.py")
    parser.addoption("--wheelhouse", default=None, help="wheels of its dependencies (offline install)")
    parser.addoption("--python", default=None,
                     help="the interpreter the wheel is installed for (default: this one)")


def pytest_collection_modifyitems(items):
    # A Dask client and a Spark session leave threads behind in this process
    # after they close; their tests run last, so that no later test forks a
    # threaded process.
    items.sort(key=lambda item: item.path.name in ("test_dask.py", "test_spark.py"))

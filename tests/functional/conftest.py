import pytest

from wine_harness import Varnick, WineSession


@pytest.fixture(scope="session")
def wine():
    session = WineSession()
    session.start()
    yield session
    session.stop()


@pytest.fixture
def varnick(wine, tmp_path):
    return Varnick(tmp_path)


@pytest.fixture
def registry(wine, tmp_path):
    """The registry, put back as it was when the test ends."""
    saved = tmp_path / "parameters.reg"
    wine.registry.export(saved)
    yield wine.registry
    wine.registry.delete_key()
    wine.registry.import_file(saved)

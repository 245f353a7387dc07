import pytest

from helpers import Basket, note


@pytest.fixture
def basket():
    made = Basket()
    yield made
    note("basket torn down")


@pytest.fixture(scope="module", params=["small", "large"])
def size(request):
    yield note(request.param)
    note("size torn down")

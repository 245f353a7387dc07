import pytest

from helpers import Basket, note


def test_first():
    assert note(1) == 1


def test_second():
    assert note(2) == 2


@pytest.mark.parametrize("n", [1, 2, 3])
def test_numbers(n):
    assert note(n) == n


@pytest.mark.parametrize("basket_value", [Basket(), Basket()])
def test_objects(basket_value):
    assert note(basket_value) is basket_value


@pytest.mark.parametrize("value", [Basket()], scope="module")
def test_module_wide_parameter(value):
    assert note(value) is value


def test_with_fixture(basket):
    assert note(basket.items) == []


def test_sized(size):
    assert note(size) in ("small", "large")


@pytest.mark.skipif("note('condition') == 'never'")
def test_under_a_condition():
    assert note(3) == 3


def test_finalizer(request):
    request.addfinalizer(lambda: note("finalized"))


def test_last_of_the_module():
    assert note(4) == 4


@pytest.mark.skipif("note('class condition') == 'never'")
class TestUnderAClassCondition:
    def test_first(self):
        assert note(8) == 8

    def test_second(self):
        assert note(9) == 9

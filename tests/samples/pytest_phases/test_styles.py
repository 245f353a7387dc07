import unittest

from helpers import note


def setup_module(module):
    note("module set up")


def teardown_function(function):
    note("function torn down")


def test_between_xunit_calls():
    assert note(5) == 5


class TestMethods:
    def setup_method(self, method):
        note("method set up")

    def test_method(self):
        assert note(6) == 6


class Case(unittest.TestCase):
    def setUp(self):
        note("case set up")

    def test_case(self):
        self.assertEqual(note(7), 7)

def note(what):
    return what


class Basket:
    def __init__(self):
        self.items = []

    def __eq__(self, other):
        return note("eq") and isinstance(other, Basket) and self.items == other.items

    __hash__ = object.__hash__

"""User code only: recursion, methods, small locals and a generator.

Every frame here is the program's own, so ruvo records every call and
return (each resume of a generator is a call too). The only calls out of
this module are to built-in functions, which make no Python frames.
"""

SIZE = 600


class Account:
    def __init__(self, owner, balance):
        self.owner = owner
        self.balance = balance
        self.history = []

    def deposit(self, amount):
        self.balance += amount
        self.history.append(amount)
        return self.balance

    def withdraw(self, amount):
        if amount > self.balance:
            return False
        self.balance -= amount
        self.history.append(-amount)
        return True

    def interest(self, rate):
        return round(self.balance * rate, 2)


def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


def primes(limit):
    found = []
    for candidate in range(2, limit):
        if all(candidate % p for p in found):
            found.append(candidate)
            yield candidate


def label(index, name):
    prefix = "acct"
    return f"{prefix}-{index}-{name}"


def unit(index):
    account = Account(label(index, "ada"), 100)
    for amount in (5, 10, 20, 40):
        account.deposit(amount)
    account.withdraw(30)
    account.withdraw(1000)
    total = account.interest(0.05) + fib(8)
    for prime in primes(24):
        total += prime
    return total


def run(n):
    total = 0
    for index in range(n):
        total += unit(index)
    return total

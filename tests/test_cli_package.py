"""The command package in process: the table of commands, and where `ruvo
run` ends its own options and the program's begin."""

from __future__ import annotations

import dataclasses

import pytest

import ruvo.__main__
from ruvo import cli
from ruvo.cli import run


def run_parser():
    _, parsers = cli.build_parser()
    return parsers["run"]


@pytest.mark.parametrize(
    "args, own, program",
    [
        (["--db", "x.sqlite3", "--include", "app.py", "app.py", "--db", "y"],
         ["--db", "x.sqlite3", "--include", "app.py"], ["app.py", "--db", "y"]),
        (["--threading", "--no-lightweight-repr", "app.py", "-m", "x"],
         ["--threading", "--no-lightweight-repr"], ["app.py", "-m", "x"]),
        (["--source=nightly", "--ignore", "vendor/", "-", "a"], ["--source=nightly", "--ignore", "vendor/"], ["-", "a"]),
        (["-m", "pkg.tool", "--db", "z"], ["-m", "pkg.tool"], ["--db", "z"]),
        (["--ignore", "t", "-mpkg.tool", "-v"], ["--ignore", "t", "-mpkg.tool"], ["-v"]),
        (["--source", "s", "--", "--source", "p.py"], ["--source", "s"], ["--source", "p.py"]),
        (["--db", "only.sqlite3"], ["--db", "only.sqlite3"], []),
    ],
)
def test_run_splits_its_options_from_the_program(args, own, program):
    assert run.split_arguments(run_parser(), args) == (own, program)


def test_value_options_come_from_the_parser():
    parser = run_parser()
    assert run._value_options(parser) == {"-m": 1, "--db": 1, "--include": 1, "--ignore": 1, "--source": 1,
                                          "--trace-budget": 1, "--backend": 1, "--max-db-size": 1}
    # An option added to the parser is known to the splitter at once.
    parser.add_argument("--pair", nargs=2)
    parser.add_argument("--label")
    assert run.split_arguments(parser, ["--pair", "a", "b", "--label", "l", "app.py", "x"]) == (
        ["--pair", "a", "b", "--label", "l"], ["app.py", "x"])


def test_commands_dispatch_through_the_table(monkeypatch, capsys):
    assert list(cli.COMMANDS) == ["run", "traces", "runs", "show", "top", "find", "export", "import", "view", "diff",
                                  "prune", "push"]
    seen = []

    def fake(options):
        seen.append((options.command, options.db, options.rest))
        return 7

    for name in ("traces", "run"):
        monkeypatch.setitem(cli.COMMANDS, name, dataclasses.replace(cli.COMMANDS[name], execute=fake))
    assert cli.main(["traces", "--db", "a.sqlite3"]) == 7
    assert cli.main(["run", "--db", "b.sqlite3", "app.py", "--db", "c"]) == 7
    assert seen == [("traces", "a.sqlite3", []), ("run", "b.sqlite3", ["app.py", "--db", "c"])]
    assert cli.main(["nosuch"]) == 2
    assert "invalid choice: 'nosuch'" in capsys.readouterr().err


def test_the_module_entry_point_is_the_package_main():
    assert ruvo.__main__.main is cli.main

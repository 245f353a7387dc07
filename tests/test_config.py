"""[tool.ruvo] settings: parsing, and how `ruvo` commands use them and their flags override them."""

from __future__ import annotations

from pathlib import Path

import pytest

from _cli import frame_names, ruvo, saved_trace_id, write
from ruvo import db
from ruvo.config import Settings, SettingsError, load_settings


class TestLoadSettings:
    def test_full_table(self, tmp_path):
        pyproject = write(
            tmp_path / "pyproject.toml",
            """
            [project]
            name = "shop"

            [tool.ruvo]
            db = "var/traces.sqlite3"
            include = ["vendor/"]
            ignore = ["migrations/", "tests/"]
            threading = true
            lightweight-repr = true
            """,
        )
        assert load_settings(tmp_path) == Settings(
            db_path=tmp_path / "var" / "traces.sqlite3",
            include=["vendor/"],
            ignore=["migrations/", "tests/"],
            threading=True,
            lightweight_repr=True,
            source=pyproject,
        )

    def test_nearest_pyproject_from_a_subdirectory_and_paths_relative_to_it(self, tmp_path):
        write(tmp_path / "pyproject.toml", '[tool.ruvo]\ndb = "t.sqlite3"\n')
        inner = tmp_path / "src" / "shop"
        inner.mkdir(parents=True)
        settings = load_settings(inner)
        assert settings.db_path == tmp_path / "t.sqlite3"
        assert settings.source == tmp_path / "pyproject.toml"

    def test_defaults_without_a_table(self, tmp_path):
        write(tmp_path / "pyproject.toml", '[project]\nname = "shop"\n')
        assert load_settings(tmp_path) == Settings(source=tmp_path / "pyproject.toml")

    def test_underscore_spelling(self, tmp_path):
        write(tmp_path / "pyproject.toml", "[tool.ruvo]\nlightweight_repr = true\n")
        assert load_settings(tmp_path).lightweight_repr is True

    def test_database_cap_from_the_flag_the_setting_or_the_default(self, tmp_path):
        from ruvo.config import db_cap_from
        from ruvo.db import DEFAULT_MAX_BYTES

        assert db_cap_from(load_settings(tmp_path), None) == DEFAULT_MAX_BYTES == 2 * 2**30
        for setting, flag, cap in (('"500M"', None, 500 * 2**20), ('"none"', None, None), ('"500M"', "1G", 2**30),
                                   ('"none"', "64k", 64 * 2**10), ('"1G"', "none", None)):
            write(tmp_path / "pyproject.toml", f"[tool.ruvo]\nmax_db_size = {setting}\n")
            assert db_cap_from(load_settings(tmp_path), flag) == cap
        write(tmp_path / "pyproject.toml", '[tool.ruvo]\nmax-db-size = "lots"\n')
        with pytest.raises(SettingsError, match=r"\[tool.ruvo\] max-db-size: not a size: 'lots'"):
            load_settings(tmp_path)

    @pytest.mark.parametrize(
        "table, message",
        [
            ('colour = "red"', r"unknown \[tool.ruvo\] setting\(s\): colour"),
            ('include = "vendor/"', r"\[tool.ruvo\] include must be a list of strings"),
            ("ignore = [1]", r"\[tool.ruvo\] ignore must be a list of strings"),
            ('threading = "yes"', r"\[tool.ruvo\] threading must be true or false"),
            ("db = 3", r"\[tool.ruvo\] db must be a string"),
            ("db = ", r"pyproject.toml: "),
        ],
    )
    def test_errors_name_the_file_and_setting(self, tmp_path, table, message):
        write(tmp_path / "pyproject.toml", f"[tool.ruvo]\n{table}\n")
        with pytest.raises(SettingsError, match=message) as raised:
            load_settings(tmp_path)
        assert str(raised.value).startswith(str(tmp_path / "pyproject.toml"))

    def test_table_must_be_a_table(self, tmp_path):
        write(tmp_path / "pyproject.toml", '[tool]\nruvo = "on"\n')
        with pytest.raises(SettingsError, match=r"\[tool.ruvo\] must be a table"):
            load_settings(tmp_path)


@pytest.fixture
def project(tmp_path) -> Path:
    """A project whose [tool.ruvo] sets the database, ignores helper.py and
    records threads."""
    write(
        tmp_path / "pyproject.toml",
        """
        [tool.ruvo]
        db = "var/traces.sqlite3"
        ignore = ["helper.py"]
        threading = true
        """,
    )
    write(tmp_path / "helper.py", "def helper():\n    return 1\n")
    write(
        tmp_path / "app.py",
        """
        import threading
        import helper

        def work():
            return helper.helper()

        threading.Thread(target=work, name="worker").start()
        """,
    )
    return tmp_path


def thread_names(document: dict) -> list[str]:
    return sorted({r["thread"] for records in document["frames"].values() for r in records})


class TestSettingsInCommands:
    def test_run_uses_the_settings(self, project):
        result = ruvo(project, "run", "app.py")
        assert result.returncode == 0, result.stderr
        assert f"to {Path('var', 'traces.sqlite3')}\n" in result.stderr
        doc = db.load_trace(project / "var" / "traces.sqlite3", saved_trace_id(result))
        assert frame_names(doc) == ["__main__.<module>", "__main__.work"]
        assert thread_names(doc) == ["worker"]
        assert not (project / ".ruvo").exists()

    def test_flags_override_the_settings(self, project):
        result = ruvo(project, "run", "--db", "mine.sqlite3", "--no-threading", "--include", "helper.py", "app.py")
        assert result.returncode == 0, result.stderr
        doc = db.load_trace(project / "mine.sqlite3", saved_trace_id(result))
        # include wins over the configured ignore; the thread is not recorded
        assert frame_names(doc) == ["__main__.<module>", "helper.<module>"]
        assert doc["frames"] == {}
        assert not (project / "var").exists()

    def test_settings_from_a_subdirectory_and_for_reading_commands(self, project):
        sub = project / "scripts"
        write(sub / "tool.py", "def tool():\n    return 2\ntool()\n")
        result = ruvo(sub, "run", "tool.py")
        assert result.returncode == 0, result.stderr
        trace_id = saved_trace_id(result)
        assert db.latest_trace_id(project / "var" / "traces.sqlite3") == trace_id
        listing = ruvo(sub, "traces")
        assert listing.returncode == 0 and trace_id in listing.stdout
        shown = ruvo(sub, "show")
        assert shown.returncode == 0 and shown.stdout.startswith(f"trace {trace_id}\n")

    @pytest.mark.parametrize("command", [["run", "app.py"], ["traces"], ["show"], ["export", "-o", "-"]])
    def test_bad_settings_are_a_one_line_error(self, tmp_path, command):
        write(tmp_path / "pyproject.toml", "[tool.ruvo]\nthreading = 1\n")
        write(tmp_path / "app.py", "print('never runs')\n")
        result = ruvo(tmp_path, *command)
        assert result.returncode == 2
        assert result.stderr == f"ruvo: error: {tmp_path / 'pyproject.toml'}: [tool.ruvo] threading must be true or false\n"
        assert result.stdout == ""


def test_value_limits_and_trace_budget_from_pyproject(tmp_path):
    from ruvo import serialize
    from ruvo.config import apply_value_limits, budget_from, parse_size

    (tmp_path / "pyproject.toml").write_text(
        '[tool.ruvo]\ntrace-budget = "512k"\n[tool.ruvo.values]\nmax_items = 3\nmax_str_bytes = 8\n')
    settings = load_settings(tmp_path)
    assert settings.value_limits == {"max_items": 3, "max_str_bytes": 8}
    assert budget_from(settings, None) == 512 * 1024 and budget_from(settings, "none") is None
    previous = serialize.configure()
    try:
        apply_value_limits(settings)
        assert serialize.loads(serialize.dump_msgpack([1, 2, 3, 4, "y" * 20])) == [
            1, 2, 3, serialize.Omitted(2)]
    finally:
        serialize.configure(**previous)
    assert [parse_size(text) for text in ("16M", "512k", "1G", "none", 70)] == [
        16 * 2**20, 512 * 2**10, 2**30, None, 70]
    # 0 used to mean no limit, silently; a size past 64 bits failed at start.
    for bad in ("16X", "-1", "", "lots", "0", 0, "99999999999999999999G"):
        with pytest.raises(ValueError, match="not a size"):
            parse_size(bad)
    (tmp_path / "pyproject.toml").write_text('[tool.ruvo.values]\nmax_widgets = 3\n')
    with pytest.raises(SettingsError, match="unknown \\[tool.ruvo.values\\] limit\\(s\\): max_widgets"):
        load_settings(tmp_path)

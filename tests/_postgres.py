"""A throwaway PostgreSQL cluster for the tests: made with the installed
server's own programs in a temporary directory, on a free local port, and
stopped at the end of the session. Without PostgreSQL or psycopg the tests
that need it are skipped, unless RUVO_TEST_POSTGRES=required (CI), which
makes that a failure."""

from __future__ import annotations

import glob
import itertools
import os
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path
from typing import Optional

REQUIRED = os.environ.get("RUVO_TEST_POSTGRES") == "required"


def _bin_dir() -> Optional[Path]:
    found = shutil.which("initdb")
    if found:
        return Path(os.path.realpath(found)).parent
    versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    return Path(versions[-1]).parent if versions else None


def _free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Cluster:
    def __init__(self, bin_dir: Path, *, durable: bool = False) -> None:
        self.durable = durable
        self.bin_dir = bin_dir
        self.root = Path(tempfile.mkdtemp(prefix="ruvo-pg-"))
        self.data = self.root / "data"
        self.port = _free_port()
        self._names = itertools.count(1)
        # initdb refuses to run as root: the cluster then belongs to the postgres user.
        self._as: list[str] = []
        if os.geteuid() == 0:
            import pwd

            user = pwd.getpwnam("postgres")
            os.chown(self.root, user.pw_uid, user.pw_gid)
            self._as = ["runuser", "-u", "postgres", "--"]

    def _run(self, *args: str) -> None:
        # Not under the sanitizers' runtime, which a sanitized test run preloads.
        env = {key: value for key, value in os.environ.items()
               if key not in ("LD_PRELOAD", "PYTHONMALLOC") and not key.endswith("SAN_OPTIONS")}
        subprocess.run([*self._as, *args], check=True, capture_output=True, text=True, timeout=120, env=env)

    def start(self) -> None:
        self._run(str(self.bin_dir / "initdb"), "-D", str(self.data), "-A", "trust", "-U", "ruvo", "-E", "UTF8",
                  "--no-sync")
        self.up()

    def up(self) -> None:
        options = f"-p {self.port} -k {self.root} -c listen_addresses=127.0.0.1 -c max_connections=200"
        if not self.durable:
            # Durability is not under test: a commit need not wait for the disk.
            options += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
        self._run(str(self.bin_dir / "pg_ctl"), "-D", str(self.data), "-l", str(self.root / "log"), "-o", options,
                  "-w", "-t", "60", "start")

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://ruvo@127.0.0.1:{self.port}/{database}"

    def new_database(self) -> str:
        import psycopg

        name = f"t{os.getpid()}_{next(self._names)}"
        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def down(self, mode: str = "fast") -> None:
        # "fast" keeps what was committed (commits do not wait for the disk here).
        self._run(str(self.bin_dir / "pg_ctl"), "-D", str(self.data), "-m", mode, "-w", "stop")

    def stop(self) -> None:
        try:
            if (self.data / "postmaster.pid").exists():
                self.down("immediate")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)


def missing() -> Optional[str]:
    """Why no cluster can be made here, or None."""
    try:
        import psycopg  # noqa: F401
    except ImportError:
        return "psycopg is not installed"
    if _bin_dir() is None:
        return "PostgreSQL's initdb is not installed"
    return None


def start_cluster(*, durable: bool = False) -> Cluster:
    bin_dir = _bin_dir()
    assert bin_dir is not None
    cluster = Cluster(bin_dir, durable=durable)
    try:
        cluster.start()
    except BaseException:
        shutil.rmtree(cluster.root, ignore_errors=True)
        raise
    return cluster

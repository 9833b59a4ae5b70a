"""A throwaway PostgreSQL cluster for the database tests and benchmarks.

    with ThrowawayCluster.start(settings={"fsync": "off"}) as cluster:
        psycopg.connect(cluster.dsn)

The cluster lives in a temporary folder, listens only on a Unix socket in that folder and is
stopped and deleted when the block ends, whether it ends normally or by an exception. It is made
from the installed server binaries (the newest /usr/lib/postgresql/<version>/bin, else initdb and
pg_ctl on PATH). initdb and postgres refuse to run as root, so under root the cluster's processes
run as the unprivileged user `postgres` (created by Debian's package), or `nobody` without it;
the folder then belongs to that user. Standard library only: both tests/ and bench/ import it.
"""

from __future__ import annotations

import os
import pwd
import re
import shutil
import signal
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

DEBIAN_SERVER_ROOT = Path("/usr/lib/postgresql")
SERVER_PROGRAMS = ("initdb", "pg_ctl", "postgres")
SUPERUSER = "postgres"
PORT = 5432  # only names the socket file: the folder is private, so it never clashes
RUN_AS_WHEN_ROOT = ("postgres", "nobody")
START_TIMEOUT_SECONDS = 60


class ServerNotFound(RuntimeError):
    pass


class ClusterFailed(RuntimeError):
    pass


def find_server_binaries(bindir: str | os.PathLike | None = None) -> Path:
    """The folder holding initdb, pg_ctl and postgres: `bindir` if given, else the newest
    Debian version folder, else the folder of pg_ctl on PATH."""
    candidates: list[Path] = []
    if bindir is not None:
        candidates.append(Path(bindir))
    else:
        versions = [p for p in DEBIAN_SERVER_ROOT.glob("*/bin") if re.fullmatch(r"\d+(\.\d+)?", p.parent.name)]
        candidates += sorted(versions, key=lambda p: tuple(int(n) for n in p.parent.name.split(".")), reverse=True)
        on_path = shutil.which("pg_ctl")
        if on_path:
            candidates.append(Path(on_path).resolve().parent)
    for folder in candidates:
        if all((folder / program).is_file() for program in SERVER_PROGRAMS):
            return folder
    searched = ", ".join(str(c) for c in candidates) or f"{DEBIAN_SERVER_ROOT}/*/bin and PATH"
    raise ServerNotFound(
        f"no PostgreSQL server binaries (initdb, pg_ctl, postgres) in {searched}; "
        "on Debian: apt-get install postgresql postgresql-contrib"
    )


@dataclass(frozen=True)
class RunAs:
    """The account the server runs under: the current one, or an unprivileged one under root."""

    name: str
    uid: int
    gid: int
    home: str

    @classmethod
    def for_server(cls) -> RunAs:
        if os.geteuid() != 0:
            entry = pwd.getpwuid(os.geteuid())
            return cls(entry.pw_name, entry.pw_uid, entry.pw_gid, entry.pw_dir)
        for name in RUN_AS_WHEN_ROOT:
            try:
                entry = pwd.getpwnam(name)
            except KeyError:
                continue
            return cls(entry.pw_name, entry.pw_uid, entry.pw_gid, entry.pw_dir)
        raise ClusterFailed(f"running as root and none of the users {RUN_AS_WHEN_ROOT} exists to run the server")

    @property
    def switches_user(self) -> bool:
        return self.uid != os.geteuid()

    def run(self, command: list[str], **kwargs) -> subprocess.CompletedProcess:
        if self.switches_user:
            kwargs.update(user=self.uid, group=self.gid, extra_groups=[])
        return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, **kwargs)


def server_environment(run_as: RunAs) -> dict[str, str]:
    # A clean environment: nothing of the caller's (LD_PRELOAD of a sanitizer run, PG* variables,
    # a fake clock) reaches the server.
    return {"PATH": "/usr/bin:/bin", "HOME": run_as.home or "/", "LC_ALL": "C", "TZ": "UTC"}


def base_folder(run_as: RunAs) -> str:
    # Another user must be able to pass through the parent of the cluster folder.
    default = tempfile.gettempdir()
    if run_as.switches_user and not os.stat(default).st_mode & 0o001:
        return "/tmp"
    return default


class ThrowawayCluster:
    """A running cluster: its `dsn` (and `connect_kwargs`) reach the superuser over the socket."""

    def __init__(self, bindir: Path, folder: Path, run_as: RunAs, settings: dict[str, str]):
        self.bindir = bindir
        self.folder = folder
        self.run_as = run_as
        self.settings = settings
        self.data = folder / "data"
        self.log = folder / "server.log"
        self.socket_folder = folder
        self.launched = False

    @classmethod
    def start(cls, settings: dict[str, str] | None = None, bindir: str | os.PathLike | None = None) -> ThrowawayCluster:
        """initdb and start; `settings` go into postgresql.conf (e.g. {"shared_buffers": "16MB"})."""
        found = find_server_binaries(bindir)
        run_as = RunAs.for_server()
        folder = Path(tempfile.mkdtemp(prefix="norvale-pg-", dir=base_folder(run_as)))
        cluster = cls(found, folder, run_as, dict(settings or {}))
        try:
            if run_as.switches_user:
                os.chown(folder, run_as.uid, run_as.gid)
            cluster._initdb()
            cluster._write_settings()
            cluster._start()
        except BaseException:
            cluster.stop()
            raise
        return cluster

    @property
    def version(self) -> str:
        return (self.data / "PG_VERSION").read_text().strip()

    @property
    def connect_kwargs(self) -> dict[str, object]:
        return {"host": str(self.socket_folder), "port": PORT, "user": SUPERUSER, "dbname": "postgres"}

    @property
    def dsn(self) -> str:
        return " ".join(f"{key}={value}" for key, value in self.connect_kwargs.items())

    def _run(self, program: str, *args: str) -> None:
        done = self.run_as.run([str(self.bindir / program), *args], env=server_environment(self.run_as),
                               cwd=self.folder, timeout=START_TIMEOUT_SECONDS)
        if done.returncode != 0:
            raise ClusterFailed(f"{program} failed ({done.returncode}):\n{done.stdout}{done.stderr}{self.log_tail()}")

    def _initdb(self) -> None:
        self._run("initdb", "--pgdata", str(self.data), "--username", SUPERUSER, "--auth", "trust",
                  "--encoding", "UTF8", "--locale", "C", "--no-sync")

    def _write_settings(self) -> None:
        own = {"listen_addresses": "", "unix_socket_directories": str(self.socket_folder), "port": str(PORT)}
        lines = [f"{name} = '{value}'" for name, value in {**own, **self.settings}.items()]
        with open(self.data / "postgresql.conf", "a", encoding="utf-8") as conf:
            conf.write("\n# throwaway cluster\n" + "\n".join(lines) + "\n")

    def _start(self) -> None:
        # Set first: a start that times out may still leave our postmaster running.
        self.launched = True
        self._run("pg_ctl", "start", "--pgdata", str(self.data), "--log", str(self.log), "--wait",
                  "--timeout", str(START_TIMEOUT_SECONDS))

    def log_tail(self, lines: int = 20) -> str:
        try:
            text = self.log.read_text(errors="replace").splitlines()
        except OSError:
            return ""
        return "\nserver log:\n" + "\n".join(text[-lines:]) if text else ""

    def _postmaster_pid(self) -> int | None:
        try:
            return int((self.data / "postmaster.pid").read_text().split("\n", 1)[0])
        except (OSError, ValueError):
            return None

    def stop(self) -> None:
        """Stops the server (fast shutdown, then by the postmaster's pid) and deletes the folder."""
        try:
            if self.launched:
                try:
                    self._run("pg_ctl", "stop", "--pgdata", str(self.data), "--mode", "fast", "--wait")
                except (ClusterFailed, subprocess.TimeoutExpired):
                    pid = self._postmaster_pid()  # still there only while our postmaster runs
                    if pid is not None:
                        try:
                            os.kill(pid, signal.SIGKILL)
                        except ProcessLookupError:
                            pass
                self.launched = False
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> ThrowawayCluster:
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

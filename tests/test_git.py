import importlib.util
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from ruvo import git
from ruvo.git import commit_sha

A = "a" * 40
B = "0123456789abcdef0123456789abcdef01234567"
C = "c0ffee" + "0" * 34


def make_git_dir(path: Path, head: str, refs: dict[str, str] | None = None, packed: str | None = None) -> Path:
    path.mkdir(parents=True, exist_ok=True)
    (path / "HEAD").write_text(head)
    for name, content in (refs or {}).items():
        ref_file = path / name
        ref_file.parent.mkdir(parents=True, exist_ok=True)
        ref_file.write_text(content)
    if packed is not None:
        (path / "packed-refs").write_text(packed)
    return path


def test_branch_through_loose_ref_found_from_a_subdirectory(tmp_path):
    make_git_dir(tmp_path / ".git", "ref: refs/heads/main\n", {"refs/heads/main": A + "\n"})
    deep = tmp_path / "src" / "pkg" / "deep"
    deep.mkdir(parents=True)
    assert commit_sha(deep) == A
    assert commit_sha(tmp_path) == A
    assert commit_sha(str(deep)) == A


def test_branch_through_packed_refs(tmp_path):
    packed = (
        "# pack-refs with: peeled fully-peeled sorted \n"
        f"{C} refs/tags/v1\n"
        f"^{A}\n"
        f"{B} refs/heads/feature/x\n"
        f"{C} refs/heads/main\n"
    )
    make_git_dir(tmp_path / ".git", "ref: refs/heads/feature/x", packed=packed)
    assert commit_sha(tmp_path) == B


def test_loose_ref_wins_over_packed(tmp_path):
    make_git_dir(
        tmp_path / ".git",
        "ref: refs/heads/main\n",
        {"refs/heads/main": A},
        packed=f"{B} refs/heads/main\n",
    )
    assert commit_sha(tmp_path) == A


def test_detached_head(tmp_path):
    make_git_dir(tmp_path / ".git", B + "\n", {"refs/heads/main": A})
    assert commit_sha(tmp_path) == B


def test_symbolic_ref_chain(tmp_path):
    make_git_dir(
        tmp_path / ".git",
        "ref: refs/heads/alias",
        {"refs/heads/alias": "ref: refs/heads/main\n", "refs/heads/main": C},
    )
    assert commit_sha(tmp_path) == C


def test_symbolic_ref_loop_gives_none(tmp_path):
    make_git_dir(tmp_path / ".git", "ref: refs/heads/a", {"refs/heads/a": "ref: refs/heads/b", "refs/heads/b": "ref: refs/heads/a"})
    assert commit_sha(tmp_path) is None


@pytest.mark.parametrize(
    "head, refs, packed",
    [
        ("ref: refs/heads/main\n", {}, None),  # unborn branch
        ("ref: refs/heads/main\n", {}, f"# only a header\n^{A}\n"),  # peeled line is not a ref
        ("ref: refs/heads/main", {"refs/heads/main": "not a sha"}, None),
        ("ref: refs/heads/main", {"refs/heads/main": A[:39]}, None),
        ("ref: refs/heads/main", {"refs/heads/main": A.upper()}, None),
        ("ref: refs/heads/main", {}, f"{A[:20]} refs/heads/main\n"),
        ("", {}, None),
        ("garbage\n", {}, None),
        ("ref:", {}, None),
        ("ref: ../../outside", {}, None),
        ("ref: /etc/hostname", {}, None),
        ("ref: refs/heads/.invalid", {}, None),  # reftable repositories
        ("\xff\xfe", {}, None),
    ],
)
def test_no_commit(tmp_path, head, refs, packed):
    make_git_dir(tmp_path / ".git", head, refs, packed)
    assert commit_sha(tmp_path) is None


def test_ref_outside_the_git_dir_is_not_read(tmp_path):
    (tmp_path / "outside").write_text(A)
    make_git_dir(tmp_path / "repo" / ".git", "ref: refs/../../outside")
    assert commit_sha(tmp_path / "repo") is None


def test_binary_head_and_head_directory(tmp_path):
    git_dir = tmp_path / "one" / ".git"
    git_dir.mkdir(parents=True)
    (git_dir / "HEAD").write_bytes(b"\x00\xff" * 10)
    assert commit_sha(tmp_path / "one") is None
    git_dir = tmp_path / "two" / ".git"
    (git_dir / "HEAD").mkdir(parents=True)
    assert commit_sha(tmp_path / "two") is None


def test_not_in_a_work_tree(tmp_path):
    assert commit_sha(tmp_path) is None
    assert commit_sha(tmp_path / "does" / "not" / "exist") is None


def test_worktree_git_file_with_commondir(tmp_path):
    main_git = make_git_dir(
        tmp_path / "main" / ".git",
        "ref: refs/heads/main",
        {"refs/heads/main": A},
        packed=f"{C} refs/heads/topic\n",
    )
    worktree_git = make_git_dir(main_git / "worktrees" / "wt", "ref: refs/heads/topic\n")
    (worktree_git / "commondir").write_text("../..\n")
    (tmp_path / "wt").mkdir()
    (tmp_path / "wt" / ".git").write_text("gitdir: ../main/.git/worktrees/wt\n")
    assert commit_sha(tmp_path / "wt") == C
    # Absolute gitdir, branch as a loose ref in the common dir.
    (main_git / "refs" / "heads" / "topic").write_text(B)
    (tmp_path / "wt" / ".git").write_text(f"gitdir: {worktree_git}")
    assert commit_sha(tmp_path / "wt") == B


def test_worktree_keeps_its_own_per_worktree_refs(tmp_path):
    main_git = make_git_dir(tmp_path / "main" / ".git", "ref: refs/heads/main", {"refs/bisect/bad": A})
    worktree_git = make_git_dir(main_git / "worktrees" / "wt", "ref: refs/bisect/bad", {"refs/bisect/bad": B})
    (worktree_git / "commondir").write_text("../..")
    (tmp_path / "wt").mkdir()
    (tmp_path / "wt" / ".git").write_text("gitdir: ../main/.git/worktrees/wt")
    assert commit_sha(tmp_path / "wt") == B


def test_submodule_git_file(tmp_path):
    make_git_dir(tmp_path / "super" / ".git", "ref: refs/heads/main", {"refs/heads/main": A})
    make_git_dir(tmp_path / "super" / ".git" / "modules" / "lib", B)
    (tmp_path / "super" / "lib" / "inner").mkdir(parents=True)
    (tmp_path / "super" / "lib" / ".git").write_text("gitdir: ../.git/modules/lib\n")
    assert commit_sha(tmp_path / "super" / "lib" / "inner") == B
    assert commit_sha(tmp_path / "super") == A


@pytest.mark.parametrize("content", ["gitdir: ../missing", "not a gitdir line", ""])
def test_broken_git_file(tmp_path, content):
    make_git_dir(tmp_path / "outer" / ".git", "ref: refs/heads/main", {"refs/heads/main": A})
    (tmp_path / "outer" / "sub").mkdir()
    (tmp_path / "outer" / "sub" / ".git").write_text(content)
    # The nearest .git decides; a broken one does not fall through to the outer repo.
    assert commit_sha(tmp_path / "outer" / "sub") is None


def test_module_attribute_is_read_at_import(tmp_path, monkeypatch):
    make_git_dir(tmp_path / ".git", "ref: refs/heads/main", {"refs/heads/main": C})
    monkeypatch.chdir(tmp_path)
    module_spec = importlib.util.spec_from_file_location("ruvo_git_fresh", git.__file__)
    fresh = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(fresh)
    assert fresh.COMMIT_SHA == C
    assert fresh.commit_sha() == C


def test_module_attribute_outside_a_repository(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    module_spec = importlib.util.spec_from_file_location("ruvo_git_fresh", git.__file__)
    fresh = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(fresh)
    assert fresh.COMMIT_SHA is None


def test_missing_current_directory_gives_none(tmp_path, monkeypatch):
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    assert commit_sha() is None


def run_git(cwd: Path, *args: str) -> str:
    env = {**os.environ, "HOME": str(cwd), "GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull}
    done = subprocess.run(
        ["git", "-c", "user.name=Test", "-c", "user.email=t@example.com", "-c", "init.defaultBranch=main", *args],
        cwd=cwd,
        env=env,
        check=True,
        capture_output=True,
        text=True,
        timeout=60,
    )
    return done.stdout.strip()


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_matches_real_git(tmp_path):
    repo = tmp_path / "repo"
    repo.mkdir()
    run_git(repo, "init", "-q")
    assert commit_sha(repo) is None  # unborn
    (repo / "f.txt").write_text("one")
    run_git(repo, "add", "f.txt")
    run_git(repo, "commit", "-q", "-m", "one")
    first = run_git(repo, "rev-parse", "HEAD")
    (repo / "sub").mkdir()
    assert commit_sha(repo / "sub") == first

    (repo / "f.txt").write_text("two")
    run_git(repo, "commit", "-q", "-am", "two")
    second = run_git(repo, "rev-parse", "HEAD")
    run_git(repo, "pack-refs", "--all")
    assert not (repo / ".git" / "refs" / "heads" / "main").exists()
    assert commit_sha(repo) == second

    run_git(repo, "worktree", "add", "-q", "--detach", str(tmp_path / "wt"), first)
    assert commit_sha(tmp_path / "wt") == first
    run_git(tmp_path / "wt", "checkout", "-q", "-b", "side")
    (tmp_path / "wt" / "g.txt").write_text("side")
    run_git(tmp_path / "wt", "add", "g.txt")
    run_git(tmp_path / "wt", "commit", "-q", "-m", "side")
    assert commit_sha(tmp_path / "wt") == run_git(tmp_path / "wt", "rev-parse", "HEAD")
    assert commit_sha(repo) == second

    run_git(repo, "checkout", "-q", "--detach", first)
    assert commit_sha(repo) == first

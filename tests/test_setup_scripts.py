"""The scripts' set-up on a stock machine: missing OS packages are installed with apt-get
(through sudo when not root) and said so; a project virtual environment is made once."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
if not (REPO / "scripts" / "env.sh").exists():
    pytest.skip("the scripts are not in this tree", allow_module_level=True)


def fake_bin(tmp_path, uid):
    """A PATH with python3, env and logging stand-ins for id, apt-get and sudo, no compiler
    and no cmake."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "python3").symlink_to(sys.executable)
    (bin_dir / "env").symlink_to(shutil.which("env"))
    log = tmp_path / "calls.log"
    for name, body in {"id": f"echo {uid}",
                       "apt-get": f'echo "apt-get $*" >> {log}',
                       "sudo": f'echo "sudo" >> {log}; "$@"'}.items():
        path = bin_dir / name
        path.write_text(f"#!/bin/sh\n{body}\n")
        path.chmod(0o755)
    return bin_dir, log


@pytest.mark.parametrize("uid, via_sudo", [(0, False), (1000, True)])
def test_missing_os_packages_are_installed_and_announced(tmp_path, uid, via_sudo):
    bin_dir, log = fake_bin(tmp_path, uid)
    env = {"PATH": str(bin_dir), "HOME": str(tmp_path)}
    done = subprocess.run(["/bin/bash", "-c", ". scripts/env.sh && marvane_os_packages"],
                          cwd=REPO, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    calls = log.read_text().splitlines()
    assert calls[-1] == "apt-get install -y -qq g++ cmake"
    assert ("sudo" in calls) == via_sudo
    assert "installing missing OS packages: g++ cmake" in done.stderr


def test_project_environment_is_made_once_and_an_active_one_wins(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "PYTHON")}
    env["MARVANE_VENV"] = str(tmp_path / "venv")
    script = ". scripts/env.sh && marvane_python && echo $PY"

    def run(extra=None):
        done = subprocess.run(["/bin/bash", "-c", script], cwd=REPO, env={**env, **(extra or {})},
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        return done.stdout.strip(), done.stderr

    py, said = run()
    assert py == str(tmp_path / "venv" / "bin" / "python") and "making" in said
    assert run() == (py, "marvane setup: using the project's virtual environment "
                         f"{tmp_path / 'venv'}\n")
    active = str(Path(sys.executable).parent.parent)
    py, said = run({"VIRTUAL_ENV": active})
    assert py == f"{active}/bin/python" and "active virtual environment" in said

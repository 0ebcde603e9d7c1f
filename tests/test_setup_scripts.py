"""The scripts' set-up on a stock machine: missing OS packages are installed with apt-get
(through sudo when not root) and said so; a project virtual environment is made once."""

import os
import shutil
import subprocess
import sys
import sysconfig
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
    # where this Python has no C headers (a root without python3-dev), they are missing too
    headers = os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
    missing = "g++ cmake" if headers else "python3-dev g++ cmake"
    assert calls[-1] == f"apt-get install -y -qq {missing}"
    assert ("sudo" in calls) == via_sudo
    assert f"installing missing OS packages: {missing}" in done.stderr


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


def run_env_function(call, cwd, env=None):
    return subprocess.run(["/bin/bash", "-c", f". {REPO}/scripts/env.sh && {call}"], cwd=cwd,
                          env={**os.environ, **(env or {})}, capture_output=True, text=True,
                          timeout=60)


def test_the_newest_interpreter_of_a_version_is_found_and_a_wrong_one_refused(tmp_path):
    version = "%d.%d" % sys.version_info[:2]
    for patch in ("9", "10"):
        launcher = tmp_path / f"{version}.{patch}" / "bin" / f"python{version}"
        launcher.parent.mkdir(parents=True)
        launcher.write_text(f'#!/bin/sh\nexec {sys.executable} "$@"\n')
        launcher.chmod(0o755)
    found = run_env_function(f"marvane_find_python {version}", tmp_path,
                             {"MARVANE_PYTHONS": str(tmp_path)})
    assert found.stdout.strip() == str(tmp_path / f"{version}.10" / "bin" / f"python{version}")
    other = "3.%d" % (sys.version_info[1] + 1)
    wrong = run_env_function(f"marvane_find_python {other}", tmp_path,
                             {f"MARVANE_PYTHON_{other.replace('.', '_')}": sys.executable})
    assert wrong.returncode == 1 and wrong.stdout == ""
    assert f"no CPython {other}" in wrong.stderr


@pytest.mark.parametrize("version, touched, expected", [
    ("3.12", None, "marvane-0.1.0-cp312-cp312-manylinux_2_34_x86_64.whl"),
    ("3.13", None, ""),                           # only another machine's wheel for 3.13
    ("3.11", None, ""),                           # none at all
    ("3.12", "src/cpp/a.cpp", ""),                # a source changed after the build
    ("3.12", "tests/test_a.py", "marvane-0.1.0-cp312-cp312-manylinux_2_34_x86_64.whl"),
])
def test_a_built_wheel_is_reused_only_for_its_python_and_machine_while_fresh(
        tmp_path, version, touched, expected):
    if os.uname().machine != "x86_64":
        pytest.skip("the wheel names here are x86_64's")
    for path in ("src/cpp/a.cpp", "tests/test_a.py", "CMakeLists.txt", "pyproject.toml"):
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text("")
    for path in tmp_path.rglob("*"):             # folders too: a file added is a change
        os.utime(path, (1_000_000, 1_000_000))
    (tmp_path / "dist").mkdir()
    for name in ("marvane-0.1.0-cp312-cp312-manylinux_2_34_x86_64.whl",
                 "marvane-0.1.0-cp313-cp313-linux_armv7l.whl"):
        (tmp_path / "dist" / name).write_text("")
        os.utime(tmp_path / "dist" / name, (2_000_000, 2_000_000))
    if touched:
        os.utime(tmp_path / touched, (3_000_000, 3_000_000))
    done = run_env_function(f"marvane_dist_wheel {version}", tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == (f"dist/{expected}" if expected else "")


@pytest.mark.parametrize("name_tag, wheel_tags, purelib, good", [
    ("cp312-cp312-manylinux_2_17_x86_64.manylinux2014_x86_64",
     ["cp312-cp312-manylinux_2_17_x86_64", "cp312-cp312-manylinux2014_x86_64"], "false", True),
    ("cp313-cp313-linux_armv7l", ["cp313-cp313-linux_armv7l"], "false", True),
    ("cp313-cp313-linux_armv7l", ["cp313-cp313-linux_x86_64"], "false", False),
    ("cp312-cp312-manylinux_2_17_x86_64.manylinux2014_x86_64",
     ["cp312-cp312-manylinux_2_17_x86_64"], "false", False),       # a tag of the name missing
    ("cp313-cp313-linux_armv7l", ["cp313-cp313-linux_armv7l"], "true", False),
])
def test_a_wheel_must_hold_the_tags_its_name_gives(tmp_path, name_tag, wheel_tags, purelib, good):
    import zipfile
    if shutil.which("unzip") is None:
        pytest.skip("unzip is not installed (the wheel builder's machine has it)")
    wheel = tmp_path / f"fastparquet-2024.11.0-{name_tag}.whl"
    lines = ["Wheel-Version: 1.0", f"Root-Is-Purelib: {purelib}"] + [f"Tag: {t}" for t in wheel_tags]
    with zipfile.ZipFile(wheel, "w") as z:
        z.writestr("fastparquet-2024.11.0.dist-info/WHEEL", "\n".join(lines) + "\n")
    done = run_env_function(f"marvane_check_wheel_tags {wheel} {name_tag}", tmp_path)
    assert (done.returncode == 0) == good, done.stderr
    assert (done.stderr == "") == good

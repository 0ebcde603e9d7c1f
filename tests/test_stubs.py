"""The type stubs shipped with the package agree with the built modules, and type-check."""

import ast
import importlib
import importlib.metadata
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import marvane

PACKAGE_DIR = Path(marvane.__file__).parent
MODULES = ["FrameStore", "TSClient"]
HERE = Path(__file__).parent


def stub_tree(module):
    path = PACKAGE_DIR / f"{module}.pyi"
    assert path.exists(), f"{path} is not installed with the package"
    return ast.parse(path.read_text(encoding="utf-8"))


def decorator_names(node):
    return {d.id if isinstance(d, ast.Name) else getattr(d, "attr", None)
            for d in node.decorator_list}


def stub_functions(body):
    """name -> list of FunctionDef (several for overloads)."""
    out = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            out.setdefault(node.name, []).append(node)
    return out


def stub_params(node):
    """[(name, kind, has_default, literal default or Ellipsis)] of a stub function."""
    a = node.args
    out = []
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = (inspect.Parameter.POSITIONAL_ONLY if i < len(a.posonlyargs)
                else inspect.Parameter.POSITIONAL_OR_KEYWORD)
        out.append((arg.arg, kind, default))
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, None))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, default))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, None))
    return out


def check_signature(qualname, stub_node, runtime):
    sig = inspect.signature(runtime)
    runtime_params = list(sig.parameters.values())
    params = stub_params(stub_node)
    assert [p[0] for p in params] == [p.name for p in runtime_params], qualname
    for (name, kind, default), rp in zip(params, runtime_params):
        assert kind == rp.kind, f"{qualname}({name}): {kind} in the stub, {rp.kind} at run time"
        if default is None:
            assert rp.default is inspect.Parameter.empty, f"{qualname}({name}) has a default"
            continue
        assert rp.default is not inspect.Parameter.empty, f"{qualname}({name}) has no default"
        if isinstance(default, ast.Constant) and default.value is not Ellipsis:
            assert rp.default == default.value and type(rp.default) is type(default.value), \
                f"{qualname}({name}): stub default {default.value!r}, runtime {rp.default!r}"


def runtime_module(name):
    module = importlib.import_module(f"marvane.{name}")
    if name == "TSClient" and not hasattr(module, "TesselClient"):
        pytest.skip("marvane.TSClient is not built yet")
    return module


@pytest.mark.parametrize("name", MODULES)
def test_stub_module_names_exist_and_cover_the_module(name):
    module = runtime_module(name)
    tree = stub_tree(name)
    declared = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            # "import x as x" re-exports x; those must be real module globals
            declared.update(a.asname for a in node.names if a.asname == a.name.split(".")[-1])
    declared = {n for n in declared if not n.startswith("_")}
    missing_at_runtime = sorted(n for n in declared if not hasattr(module, n))
    assert not missing_at_runtime
    defined_here = {n for n, v in vars(module).items()
                    if not n.startswith("_") and getattr(v, "__module__", None) == module.__name__}
    assert defined_here <= declared, f"not in the stub: {sorted(defined_here - declared)}"


def _cases():
    for name in MODULES:
        tree = stub_tree(name)
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                yield pytest.param(name, None, node.name, id=f"{name}.{node.name}")
            elif isinstance(node, ast.ClassDef):
                for method in stub_functions(node.body):
                    yield pytest.param(name, node.name, method, id=f"{name}.{node.name}.{method}")


@pytest.mark.parametrize("module_name, class_name, func_name", list(_cases()))
def test_stub_signature_matches_runtime(module_name, class_name, func_name):
    module = runtime_module(module_name)
    tree = stub_tree(module_name)
    if class_name is None:
        nodes = stub_functions(tree.body)[func_name]
        runtime = getattr(module, func_name)
        assert not decorator_names(nodes[0]) & {"staticmethod"}
    else:
        cls_node = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name)
        nodes = stub_functions(cls_node.body)[func_name]
        cls = getattr(module, class_name)
        assert func_name in vars(cls), f"{class_name}.{func_name} does not exist"
        raw = vars(cls)[func_name]
        for node in nodes:
            assert ("staticmethod" in decorator_names(node)) == isinstance(raw, staticmethod), \
                f"{class_name}.{func_name}: static in one and not the other"
        runtime = getattr(cls, func_name)
    for node in nodes:  # every overload carries the real parameter list
        check_signature(f"{module_name}.{class_name or ''}.{func_name}", node, runtime)


@pytest.mark.parametrize("name", MODULES)
def test_every_method_of_each_class_is_in_the_stub(name):
    module = runtime_module(name)
    for node in stub_tree(name).body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(module, node.name)
        runtime_methods = {n for n, v in vars(cls).items()
                           if (callable(v) or isinstance(v, staticmethod))
                           and (not n.startswith("__") or n == "__init__")}
        assert runtime_methods == set(stub_functions(node.body)), node.name


def stub_attributes(module_name, class_name):
    tree = stub_tree(module_name)
    cls_node = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name)
    return {n.target.id for n in cls_node.body if isinstance(n, ast.AnnAssign)}


def test_store_instance_attributes_match_the_stub(tmp_path):
    from marvane.FrameStore import ParquetDataManager

    store = ParquetDataManager(str(tmp_path / "s"), 3)
    assert set(vars(store)) == stub_attributes("FrameStore", "ParquetDataManager")


def test_client_instance_attributes_match_the_stub(tmp_path, capsys):
    module = runtime_module("TSClient")
    from marvane._localserver import LocalRedis, RedisServerMissing

    try:
        server = LocalRedis(password="acct:tok").start()
    except RedisServerMissing:
        pytest.skip("redis-server is not installed")
    try:
        class Local(module.TesselClient):
            def get_host_info(self):
                return {"上海-1": server.host}

        client = Local("acct", "tok", str(tmp_path / "store"))
        assert set(vars(client)) == stub_attributes("TSClient", "TesselClient")
    finally:
        server.stop()


def need_mypy():
    pytest.importorskip("mypy")
    try:
        importlib.metadata.distribution("pandas-stubs")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("pandas-stubs is not installed (mypy --strict needs pandas' types)")


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def test_usage_example_passes_mypy_strict(tmp_path, mypy_cache):
    need_mypy()
    example = tmp_path / "usage_example.py"
    shutil.copy(HERE / "data" / "usage_example.py", example)
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(mypy_cache), str(example)],
        cwd=tmp_path, capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr


def test_mypy_rejects_a_wrong_call(tmp_path, mypy_cache):
    """The stubs are what mypy reads: a number where a date text is required is refused."""
    need_mypy()
    bad = tmp_path / "bad.py"
    bad.write_text("from marvane.TSClient import TesselClient\n"
                   "from marvane.FrameStore import ParquetDataManager\n"
                   "def f(c: TesselClient, s: ParquetDataManager) -> None:\n"
                   "    c.UpdatePivotParquet('close', 20240101, '2024-02-01')\n"
                   "    s.update_unstack_category('x')\n")
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent",
         "--cache-dir", str(mypy_cache), str(bad)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 1
    assert 'Argument 2 to "UpdatePivotParquet"' in run.stdout
    assert 'Missing positional argument "sub_df"' in run.stdout

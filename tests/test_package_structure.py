"""The package's folders are its layers: each folder imports only the folders
below it (at the top of a module or late inside a function), no folder holds
more than twelve modules, and no module imports itself back through others."""

import ast
import graphlib
import pathlib

import pytest

import qarvel_lineage

# Lowest first; folders on one line are side by side and import neither way.
# "" is the package's top: the public API (__init__, dask, spark, airflow).
LAYERS = [("catalog",), ("engine",), ("batch",), ("dbt",), ("graph",), ("changes",), ("page", "answers"),
          ("serve", "openlineage"), ("cli",), ("",)]
RANK = {folder: rank for rank, row in enumerate(LAYERS) for folder in row}
ROOT = pathlib.Path(qarvel_lineage.__file__).parent


def _module_name(path: pathlib.Path) -> str:
    parts = path.relative_to(ROOT).with_suffix("").parts
    if parts[-1] == "__init__":
        parts = parts[:-1]
    return ".".join(("qarvel_lineage",) + parts)


MODULES = {_module_name(path): path for path in ROOT.rglob("*.py")}


def _is_module(name: str) -> bool:
    return name in MODULES or name == "qarvel_lineage.engine._engine"


def _imports(name: str, path: pathlib.Path) -> set[str]:
    """The package's modules ``path`` names in its import statements."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            for alias in node.names:
                # "from package import module" names the module, else the package.
                found.add(f"{base}.{alias.name}" if _is_module(f"{base}.{alias.name}") else base)
    return {module for module in found if module.split(".")[0] == "qarvel_lineage"}


def _folder(module: str) -> str:
    parts = module.split(".")
    below_top = len(parts) > 2 or (len(parts) == 2 and parts[1] in RANK)
    return parts[1] if below_top else ""


def test_every_folder_is_a_layer_and_holds_at_most_twelve_modules():
    folders = {path.parent for path in MODULES.values()}
    assert {"" if folder == ROOT else folder.name for folder in folders} == set(RANK)
    for folder in folders:
        modules = [path for path in folder.iterdir() if path.suffix in (".py", ".so")]
        assert len(modules) <= 12, (folder.name, sorted(path.name for path in modules))


def test_imports_run_only_down_the_layers():
    upward = []
    for name, path in MODULES.items():
        source = _folder(name)
        for target in _imports(name, path):
            folder = _folder(target)
            if folder != source and RANK[folder] >= RANK[source]:
                upward.append(f"{name} imports {target}")
    assert upward == []


def test_no_module_imports_itself_back():
    imports = {name: _imports(name, path) - {name} for name, path in MODULES.items()}
    assert len(imports) > 30
    try:
        list(graphlib.TopologicalSorter(imports).static_order())
    except graphlib.CycleError as error:
        pytest.fail(f"import cycle: {' -> '.join(error.args[1])}")

"""A dbt project's artefacts are strangers' data: seeds outside the
project, FIFOs, malformed manifests, catalogs and YAML declarations."""

import json
import os
import shutil
import threading

import pytest

from qarvel_lineage.dbt import project_lineage

from helpers import lineage_cli
from shop_build import shop  # noqa: F401 (the fixture)

RAW = "shop.main."


def copied(shop, tmp_path, catalog=False):
    """The built project's target (without its catalog unless asked) and
    seeds in a fresh project folder; its manifest as a dict."""
    project = tmp_path / "project"
    (project / "target").mkdir(parents=True)
    shutil.copy(shop / "target" / "manifest.json", project / "target")
    if catalog:
        shutil.copy(shop / "target" / "catalog.json", project / "target")
    shutil.copytree(shop / "seeds", project / "seeds")
    shutil.copy(shop / "dbt_project.yml", project)
    return project, json.loads((shop / "target" / "manifest.json").read_text())


def write(project, manifest):
    (project / "target" / "manifest.json").write_text(json.dumps(manifest))


def every_output(project):
    return json.dumps([project.to_dicts(metadata=True), project.to_openlineage("ns"),
                       [str(e) for e in project.errors], project.warnings])


def test_seeds_are_read_only_inside_the_project(shop, tmp_path, monkeypatch):
    project, manifest = copied(shop, tmp_path)
    secret = tmp_path / "secret.csv"
    secret.write_text("TOPSECRET_a,TOPSECRET_b\n1,2\n")
    (project / "seeds" / "link.csv").symlink_to(secret)
    seeds = manifest["nodes"]
    seeds["seed.shop.raw_customers"]["original_file_path"] = str(secret)
    seeds["seed.shop.raw_orders"]["original_file_path"] = "seeds/../../secret.csv"
    seeds["seed.shop.raw_payments"]["original_file_path"] = "seeds/link.csv"
    write(project, manifest)
    opened = []
    real_open = os.open
    monkeypatch.setattr(os, "open", lambda path, *a, **k: opened.append(os.path.realpath(path))
                        or real_open(path, *a, **k))
    lineage = project_lineage(project)
    assert str(secret) not in opened
    # One line each, sorted (by file, then node).
    assert lineage.warnings == [
        f"manifest.json: seed.shop.raw_customers: original_file_path {str(secret)!r} is outside "
        "the project; the seed's CSV is not read",
        "manifest.json: seed.shop.raw_orders: original_file_path 'seeds/../../secret.csv' is "
        "outside the project; the seed's CSV is not read",
        "manifest.json: seed.shop.raw_payments: 'seeds/link.csv' leads outside the project; the "
        "seed's CSV is not read"]
    assert "TOPSECRET" not in every_output(lineage)
    # The models are analysed all the same: raw_customers' YAML declares id.
    assert lineage.errors == ()
    assert [f"{s.qualified_table}.{s.column}"
            for s in lineage.column("stg_customers", "customer_id").direct] == \
        [RAW + "raw_customers.id"]
    done = lineage_cli("--dbt", project, "--format", "jsonl")
    assert done.returncode == 0 and "TOPSECRET" not in done.stdout + done.stderr


def test_a_package_linked_from_elsewhere_is_one_line(shop, tmp_path):
    """dbt deps installs a local package as a link: its seeds lie outside
    the project's folder, so they are not read, and one line says so."""
    project, manifest = copied(shop, tmp_path)
    elsewhere = tmp_path / "elsewhere" / "seeds"
    elsewhere.mkdir(parents=True)
    (elsewhere / "x.csv").write_text("TOPSECRET_c\n")
    (project / "dbt_packages").mkdir()
    (project / "dbt_packages" / "pkg").symlink_to(elsewhere.parent)
    for uid in ("seed.shop.raw_orders", "seed.shop.raw_payments"):
        manifest["nodes"][uid].update(package_name="pkg", original_file_path="seeds/x.csv")
    write(project, manifest)
    lineage = project_lineage(project)
    assert lineage.warnings == ["manifest.json: 2 seeds of package 'pkg' lead outside the "
                                "project through a link; their CSVs are not read"]
    assert "TOPSECRET" not in every_output(lineage)


def test_a_seed_that_is_a_fifo_never_blocks(shop, tmp_path):
    project, _ = copied(shop, tmp_path)
    fifo = project / "seeds" / "raw_customers.csv"
    fifo.unlink()
    os.mkfifo(fifo)
    found = []
    worker = threading.Thread(target=lambda: found.append(project_lineage(project)), daemon=True)
    worker.start()
    worker.join(60)
    assert not worker.is_alive(), "reading the project blocked on a FIFO"
    (lineage,) = found
    assert lineage.warnings == [
        "manifest.json: seed.shop.raw_customers: the seed's CSV 'seeds/raw_customers.csv' is "
        "not a regular file; its header is not read"]
    assert lineage.errors == ()


def test_artefacts_that_are_not_regular_files_are_refused(shop, tmp_path):
    project, _ = copied(shop, tmp_path)
    os.mkfifo(project / "target" / "catalog.json")
    with pytest.raises(ValueError, match=r"catalog.json is not a regular file$"):
        project_lineage(project)
    fifo = tmp_path / "manifest.json"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match=r"manifest.json is not a regular file$"):
        project_lineage(fifo)


def test_malformed_nodes_are_one_line_each_and_the_rest_is_analysed(shop, tmp_path):
    project, manifest = copied(shop, tmp_path, catalog=True)
    catalog = json.loads((project / "target" / "catalog.json").read_text())
    columns = catalog["nodes"]["model.shop.stg_customers"]["columns"]
    del columns["first_name"]["name"]
    catalog["nodes"]["model.shop.stg_orders"]["columns"]["status"]["index"] = "4"
    catalog["sources"] = list(catalog["sources"].values())
    (project / "target" / "catalog.json").write_text(json.dumps(catalog))
    nodes = manifest["nodes"]
    nodes["model.shop.customers"]["columns"] = [{"name": "customer_id"}]
    nodes["model.shop.fct_events"]["columns"] = {"kind": ["not", "a", "mapping"]}
    nodes["model.shop.stg_payments"]["config"] = "view"
    nodes["model.shop.int_orders"]["depends_on"] = ["model.shop.stg_orders"]
    nodes["model.shop.stg_events"]["depends_on"] = {"nodes": "source.shop.ext.events"}
    del manifest["parent_map"]["model.shop.stg_events"]
    nodes["model.shop.bogus"] = 3
    write(project, manifest)
    lineage = project_lineage(project)
    assert lineage.warnings == [
        "catalog.json: model.shop.stg_customers: column 'first_name' has no name; the entry is "
        "ignored",
        "catalog.json: model.shop.stg_orders: column 'status' has an index that is not an "
        "integer (str); the entry is ignored",
        "catalog.json: sources: sources is a list, not a mapping; it is ignored",
        "manifest.json: model.shop.bogus: the node is a int, not a mapping; it is ignored",
        "manifest.json: model.shop.customers: columns is a list, not a mapping of columns; the "
        "declarations are ignored",
        "manifest.json: model.shop.fct_events: column 'kind' is a list, not a mapping; the "
        "declarations are ignored",
        "manifest.json: model.shop.int_orders: depends_on is a list, not a mapping; parent_map "
        "is read instead",
        "manifest.json: model.shop.stg_events: depends_on.nodes is not a list of unique ids; it "
        "is ignored",
        "manifest.json: model.shop.stg_payments: config is a str, not a mapping; it is ignored"]
    assert lineage.errors == ()
    # Every model is still traced to the seeds.
    assert [f"{s.qualified_table}.{s.column}"
            for s in lineage.column("customers", "lifetime_value").direct] == \
        [RAW + "raw_payments.amount"]
    assert len(lineage.models) == 12
    # The command says each of them on one line, and the run succeeds.
    done = lineage_cli("--dbt", project, "--format", "jsonl")
    assert (done.returncode, done.stderr.splitlines()) == (0, lineage.warnings)

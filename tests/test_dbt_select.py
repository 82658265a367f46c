"""dbt's node selection (select=, exclude=) checked against dbt's own
``dbt ls`` on the test project, and on the Tuva Project's artefacts."""

import json

import pytest

from qarvel_lineage import Graph
from qarvel_lineage.dbt import project_lineage

from helpers import TUVA, lineage_cli
from shop_build import dbt_ls, shop  # noqa: F401 (the fixture)

# (select, exclude): one case per method and operator.
CASES = [
    ("stg_orders+", None),                       # descendants
    ("+customers", None),                        # ancestors
    ("1+int_orders", None),                      # ancestors within one hop
    ("stg_orders+1", None),                      # children only
    ("2+payment_amounts+", None),
    ("@stg_payments", None),                     # descendants and all their ancestors
    ("tag:staging", None),
    ("tag:a*", None),
    ("path:models/marts", None),
    ("path:models/staging/stg_orders.sql", None),
    ("path:models/*/stg_*.sql", None),
    ("models/staging", None),                    # a value with "/" is a path
    ("file:stg_events.sql", None),
    ("package:shop_audit", None),
    ("package:this", None),
    ("config.materialized:view", None),
    ("resource_type:seed resource_type:snapshot", None),   # a union
    ("tag:mart,config.materialized:table", None),          # an intersection
    ("source:ext+", None),
    ("source:ext.events", None),
    ("config.materialized:ephemeral resource_type:exposure", None),
    ("tag:staging,+customers", None),
    ("audit_events", None),                      # a package's model, by its name
    ("+exposure:customer_dashboard", None),
    ("shop.staging", None),                      # a prefix of the qualified name
    ("staging.stg_*", None),
    (None, "package:shop_audit tag:staging"),
    ("+customers", "tag:staging resource_type:seed"),
    (["stg_orders+", "stg_events"], "1+customers"),
]


def dbt_args(select, exclude):
    args = []
    if select is not None:
        args += ["--select", *([select] if isinstance(select, str) else select)]
    if exclude is not None:
        args += ["--exclude", exclude]
    return args


def test_selection_is_the_nodes_dbt_ls_lists(shop, tmp_path):
    expected = dbt_ls(shop, [dbt_args(s, e) for s, e in CASES], tmp_path)
    full = project_lineage(shop)
    for (select, exclude), listed in zip(CASES, expected):
        project = project_lineage(shop, select=select, exclude=exclude)
        case = (select, exclude)
        assert sorted(project.selected) == listed, case
        assert list(project.models) == [uid for uid in full.models if uid in listed], case
        assert sorted(project.exposures) == [uid for uid in listed if uid.startswith("exposure.")]
        # What is selected is traced through the rest to the seeds and sources.
        for uid in project.models:
            if uid in project.relations:
                assert project.columns_of(uid) == full.columns_of(uid), case
        tables = {str(project.relations[uid]) for uid in project.models if uid in project.relations}
        assert {row["target_table"] for row in project.to_dicts()} <= \
            {t.rsplit(".", 1)[-1] for t in tables}
        assert {d["name"] for d in (j["outputs"][0] for j in project.to_openlineage("ns"))} <= tables
    assert len(expected) == len(CASES) and all(expected), "each case lists something"


@pytest.mark.parametrize("select, message", [
    ("nosuch:thing", "select 'nosuch:thing': unknown selection method 'nosuch' (methods: fqn, "
                     "tag, path, file, package, config.KEY, resource_type, source, exposure, state)"),
    ("tag:a,,tag:b", "select 'tag:a,,tag:b': an empty criterion around a comma"),
    ("@2+customers", "select '@2+customers': '@' and a leading '+' cannot be combined"),
    ("tag:", "select 'tag:': 'tag:' is not a selector ([@][N+][method:]value[+N])"),
    ("  ", "select selects nothing: give one or more selectors (model+, tag:x, ...)"),
    ("config.:x", "select 'config.:x': config. needs a key (config.KEY:value, "
                  "e.g. config.materialized:view)"),
    ("config:x", "select 'config:x': config. needs a key (config.KEY:value, "
                 "e.g. config.materialized:view)"),
])
def test_a_bad_selector_is_one_line(select, message, tmp_path):
    # Refused before anything is read: the folder holds no project.
    with pytest.raises(ValueError) as raised:
        project_lineage(tmp_path, select=select)
    assert str(raised.value) == message
    with pytest.raises(TypeError, match="exclude must be a str or a sequence of str"):
        project_lineage(tmp_path, exclude=3)




@pytest.mark.skipif(not (TUVA / "manifest.json").is_file(), reason="no Tuva artefacts")
def test_excluding_a_package_leaves_none_of_its_nodes_in_any_output():
    manifest = json.loads((TUVA / "manifest.json").read_text())
    elementary = {uid for uid, node in manifest["nodes"].items()
                  if node["package_name"] == "elementary"}
    assert len([u for u in elementary if u.startswith("model.")]) == 29
    full = project_lineage(TUVA)
    project = project_lineage(TUVA, exclude="package:elementary")
    assert len(project.models) == len(full.models) - 29
    assert project.errors == () and not project.selected & elementary
    assert not set(project.relations) & elementary
    elementary_tables = {str(full.relations[uid]) for uid in elementary if uid in full.relations}
    assert len(elementary_tables) == 29
    text = json.dumps([project.to_dicts(), project.to_openlineage("ns"),
                       [str(t) for t in project.end_to_end.tables],
                       [str(c.target) for c in project.end_to_end.columns],
                       [str(e) for e in project.errors], list(project.models),
                       list(project.relations), list(project.exposures)])
    assert "elementary" not in text
    graph = Graph().add(project)
    assert not {e.statement for e in graph.edges()} & elementary
    assert not any(t in elementary_tables for t in graph.summary()["sources"])


def test_the_command_line_selects_as_project_lineage_does(shop):
    done = lineage_cli("--dbt", shop, "--select", "+customers", "stg_events",
                       "--exclude", "tag:staging", "--format", "jsonl", "--expand-influences")
    assert (done.returncode, done.stderr) == (0, "")
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    project = project_lineage(shop, select="+customers stg_events", exclude="tag:staging")
    assert sorted(project.models) == [
        "model.shop.customers", "model.shop.int_orders", "model.shop.int_payment_totals"]
    # The ephemeral model has no relation: its query is in int_orders'.
    assert sorted({row["input"] for row in rows}) == ["model.shop.customers",
                                                      "model.shop.int_orders"]
    assert len(rows) == len(project.to_dicts())
    done = lineage_cli("--dbt", shop, "--select", "tag:a,,b")
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == (
        f"sqlglot-main: error: --dbt {shop}: select 'tag:a,,b': an empty criterion around a comma")
    done = lineage_cli("--exclude", "tag:x", "--example")
    assert done.returncode == 2 and done.stderr.splitlines()[-1] == (
        "sqlglot-main: error: --select and --exclude choose the nodes of a dbt project: give --dbt")


def test_state_selectors_need_a_comparison(shop):
    """state: compares with other artefacts: sqlglot-main diff --state has them."""
    with pytest.raises(ValueError) as raised:
        project_lineage(shop, select="state:modified+")
    assert str(raised.value) == ("state:modified compares with other artefacts: give them with "
                                 "sqlglot-main diff --state PATH")
    done = lineage_cli("--dbt", shop, "--select", "state:modified")
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1].endswith(
        "state:modified compares with other artefacts: give them with sqlglot-main diff "
        "--state PATH")

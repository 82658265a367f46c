"""The lineage page of a real dbt project (Tuva: 737 models, ~9,200 columns).

    python bench_page.py [--project DIR] [--out FILE.html] [--shots DIR]

Printed, as measured in one run: the time of ``project_lineage`` and of
writing the page from it (edges, layout, template), the page's size and
the crossings of the table graph before and after ordering; the whole
command ``--dbt DIR --format html``; in headless Chromium the time from
opening the file to the page being drawn (the median of three loads) and
from asking for a focus (URL fragment) to its columns being drawn, for a
column as it first opens (DIRECT edges, one level each way), whole with
indirect edges off and on, and for a table; page errors seen.
--shots writes screenshots of the overview and of the focused column.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from qarvel_lineage.page.render import _page_data, lineage_page, project_edges
from qarvel_lineage.dbt import project_lineage

HERE = Path(__file__).resolve().parent
TUVA = HERE.parents[1] / "shared" / "dbt" / "tuva" / "target"
COLUMN = "financial_pmpm.pmpm_payer.medical_paid"


def browser_figures(path: Path, shots: Path | None) -> None:
    from playwright.sync_api import sync_playwright

    executable = os.environ.get("QARVEL_CHROMIUM") or shutil.which("chromium")
    if executable is None:
        print("no chromium: browser figures skipped")
        return
    with sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        errors: list[str] = []
        loads = []
        for _ in range(3):
            page = browser.new_page(viewport={"width": 1400, "height": 800})
            page.on("pageerror", lambda error: errors.append(str(error)))
            start = time.perf_counter()
            page.goto(path.as_uri())
            page.wait_for_selector("body[data-ready]", state="attached")
            loads.append(time.perf_counter() - start)
            if len(loads) < 3:
                page.close()
        print(f"load in Chromium: {statistics.median(loads):.2f} s (median of 3: "
              f"{', '.join(f'{t:.2f}' for t in loads)})")
        if shots:
            page.screenshot(path=str(shots / "lineage-overview.png"))
        for fragment, what in [(f"focus={COLUMN}", f"{COLUMN}, DIRECT, one level each way"),
                               (f"focus={COLUMN}&depth=all", f"{COLUMN}, indirect off"),
                               (f"focus={COLUMN}&indirect=1&depth=all", f"{COLUMN}, indirect on"),
                               ("focus=core.medical_claim&indirect=1&depth=all",
                                "table core.medical_claim, indirect on"),
                               ("", "back to the overview")]:
            start = time.perf_counter()
            page.evaluate("fragment => { location.hash = fragment; }", fragment)
            page.wait_for_function("f => document.body.dataset.shown === (f ? '#' + f : '')",
                                   arg=fragment)
            took = time.perf_counter() - start
            rows = page.locator("#focus .row").count()
            print(f"focus on {what}: {took:.3f} s, {rows} columns drawn"
                  if fragment else f"{what}: {took:.3f} s")
            if shots and fragment == f"focus={COLUMN}&depth=all":
                page.screenshot(path=str(shots / "lineage-focus.png"))
        print(f"page errors: {len(errors)}" + (f" ({errors[0]})" if errors else ""))
        browser.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--project", type=Path, default=TUVA)
    parser.add_argument("--out", type=Path, default=None)
    parser.add_argument("--shots", type=Path, default=None)
    options = parser.parse_args()

    start = time.perf_counter()
    project = project_lineage(options.project)
    analysed = time.perf_counter() - start
    start = time.perf_counter()
    edges, tables = project_edges(project)
    text = lineage_page(edges, title=f"Column lineage of {options.project.parent.name}",
                        tables=tables)
    written = time.perf_counter() - start
    data = _page_data(edges, "", tables, False)
    print(f"project_lineage: {analysed:.2f} s; page written from it: {written:.2f} s "
          f"({len(text) / 1e6:.1f} MB, {len(data['tables'])} tables, "
          f"{len(data['columnName'])} columns, {len(data['edges']) // 4} edges and "
          f"{len(data['influences']) // 3} shared influences from {len(edges)} given)")
    print(f"crossings between neighbouring layers: {data['crossings'][0]} before ordering, "
          f"{data['crossings'][1]} after")
    with tempfile.TemporaryDirectory() as folder:
        path = options.out or Path(folder) / "lineage.html"
        path.write_text(text, encoding="utf-8")
        command = [sys.executable, "-m", "qarvel_lineage.cli", "--dbt", str(options.project),
                   "--format", "html"]
        start = time.perf_counter()
        done = subprocess.run(command, capture_output=True, text=True, timeout=600, check=False)
        took = time.perf_counter() - start
        print(f"sqlglot-main --dbt ... --format html: {took:.2f} s, exit {done.returncode}, "
              f"{len(done.stdout) / 1e6:.1f} MB" + (f", {done.stderr.strip()[:200]}" if done.stderr else ""))
        browser_figures(path, options.shots)


if __name__ == "__main__":
    main()

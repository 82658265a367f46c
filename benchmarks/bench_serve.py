"""The served explorer and API over the graph of a real dbt project (Tuva).

    python bench_serve.py [--project DIR] [--graph FILE] [--clients N] [--requests N]
                          [--shot FILE.png]

Printed, as measured in one run: building the graph file with the command
(unless --graph names one); ``sqlglot-main serve`` started as a process
until it prints its URL; in headless Chromium the first screen of a focused
column (from asking for the page to the focus being drawn) and each
expansion of one more level (from the click to the drawing); then the API
answered to N clients at once (search, upstream, downstream, column,
impact), the 50th, 95th and slowest request, and the requests per second.
--shot saves a screenshot of the first screen of the focused column.
"""

from __future__ import annotations

import argparse
import http.client
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

HERE = Path(__file__).resolve().parent
TUVA = HERE.parents[1] / "shared" / "dbt" / "tuva" / "target"
COLUMN = "financial_pmpm.pmpm_payer.medical_paid"
QUESTIONS = [("search", {"q": "paid_amount"}), ("search", {"q": "member_id"}),
             ("upstream", {"column": COLUMN}), ("downstream", {"column": COLUMN}),
             ("upstream", {"column": COLUMN, "depth": "1", "direct_only": "1"}),
             ("column", {"name": COLUMN}),
             ("impact", {"column": "core.medical_claim.paid_amount"}),
             ("downstream", {"column": "core.medical_claim.paid_amount", "depth": "1"})]


def start_server(graph: Path) -> tuple[subprocess.Popen, str]:
    """The server started on a free port, and its URL (its first line)."""
    process = subprocess.Popen([sys.executable, "-m", "qarvel_lineage.cli", "serve", str(graph),
                                "--port", "0"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    assert process.stdout is not None
    line = process.stdout.readline(4096).decode().strip()
    if not line.startswith("http://"):
        process.kill()
        raise SystemExit(f"the server did not start: {line!r}")
    return process, line


def browser_figures(url: str, shot: Path | None) -> None:
    from playwright.sync_api import sync_playwright

    executable = os.environ.get("QARVEL_CHROMIUM") or shutil.which("chromium")
    if executable is None:
        print("no chromium: browser figures skipped")
        return
    settled = ("() => document.body.dataset.shown === location.hash "
               "&& !document.body.dataset.busy")
    with sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=executable, args=["--no-sandbox"])
        errors: list[str] = []
        firsts = []
        for _ in range(3):
            page = browser.new_page(viewport={"width": 1400, "height": 800})
            page.on("pageerror", lambda error: errors.append(str(error)))
            start = time.perf_counter()
            page.goto(f"{url}#focus={COLUMN}")
            page.wait_for_selector("body[data-ready]", state="attached")
            page.wait_for_function(settled)
            firsts.append(time.perf_counter() - start)
            if len(firsts) < 3:
                page.close()
        rows = page.locator(".row[data-column]").count()
        if shot:
            page.screenshot(path=str(shot))
        print(f"first screen of {COLUMN} in Chromium: {statistics.median(firsts):.3f} s "
              f"(median of 3: {', '.join(f'{t:.3f}' for t in firsts)}), {rows} columns drawn")
        expansions = []
        for _ in range(5):
            control = page.locator("[data-expand]").first
            if control.count() == 0:
                break
            before = page.evaluate("location.hash")
            start = time.perf_counter()
            control.click()
            page.wait_for_function(f"h => location.hash !== h && ({settled})()", arg=before)
            took = time.perf_counter() - start
            expansions.append(took)
            print(f"expansion {len(expansions)} ({control.get_attribute('data-expand')}): "
                  f"{took * 1000:.0f} ms, {page.locator('.row[data-column]').count()} columns drawn")
        if expansions:
            print(f"slowest expansion: {max(expansions) * 1000:.0f} ms of {len(expansions)}")
        print(f"page errors: {len(errors)}" + (f" ({errors[0]})" if errors else ""))
        browser.close()


def api_figures(url: str, clients: int, requests: int) -> None:
    parsed = urllib.parse.urlsplit(url)
    times: list[float] = []
    failures: list[str] = []
    lock = threading.Lock()

    def client(number: int) -> None:
        connection = http.client.HTTPConnection(parsed.hostname, parsed.port, timeout=60)
        mine, bad = [], []
        for index in range(requests // clients):
            question, params = QUESTIONS[(number + index) % len(QUESTIONS)]
            target = f"/api/{question}?{urllib.parse.urlencode(params)}"
            start = time.perf_counter()
            connection.request("GET", target)
            response = connection.getresponse()
            response.read()
            mine.append(time.perf_counter() - start)
            if response.status != 200:
                bad.append(f"{target}: {response.status}")
        connection.close()
        with lock:
            times.extend(mine)
            failures.extend(bad)

    threads = [threading.Thread(target=client, args=(number,)) for number in range(clients)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    took = time.perf_counter() - start
    times.sort()
    p95 = times[max(0, int(len(times) * 0.95) - 1)]
    print(f"API, {clients} clients, {len(times)} requests: p50 {statistics.median(times) * 1000:.0f} ms, "
          f"p95 {p95 * 1000:.0f} ms, slowest {times[-1] * 1000:.0f} ms, "
          f"{len(times) / took:.0f} requests/s, {len(failures)} not 200"
          + (f" ({failures[0]})" if failures else ""))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--project", type=Path, default=TUVA)
    parser.add_argument("--graph", type=Path, default=None)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--requests", type=int, default=400)
    parser.add_argument("--shot", type=Path, default=None)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        graph = options.graph
        if graph is None:
            graph = Path(folder) / "tuva.db"
            start = time.perf_counter()
            done = subprocess.run([sys.executable, "-m", "qarvel_lineage.cli", "--dbt",
                                   str(options.project), "--graph", str(graph)],
                                  capture_output=True, text=True, timeout=1800, check=False)
            print(f"graph built by the command: {time.perf_counter() - start:.1f} s, "
                  f"exit {done.returncode}, {graph.stat().st_size / 1e6:.1f} MB"
                  if graph.exists() else f"no graph: {done.stderr.strip()[:300]}")
            if not graph.exists():
                return
        start = time.perf_counter()
        process, url = start_server(graph)
        print(f"serve started in {time.perf_counter() - start:.2f} s at {url}")
        try:
            browser_figures(url, options.shot)
            api_figures(url, options.clients, options.requests)
        finally:
            process.terminate()
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


if __name__ == "__main__":
    main()

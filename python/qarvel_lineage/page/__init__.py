"""The lineage page: one self-contained HTML file, laid out here and drawn
in the browser by its template and script."""

"""The lineage page: one self-contained HTML file, laid out here and drawn by its template and script."""

"""Many statements at once: the worker pool and the caching Analyzer that
query logs, DataFrames, Dask and Spark go through."""

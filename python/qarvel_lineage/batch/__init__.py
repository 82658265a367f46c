"""Many statements at once: the worker pool and the caching Analyzer for logs, DataFrames, Dask, Spark."""

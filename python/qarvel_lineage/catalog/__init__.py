"""Live catalogs: a database's tables and columns (SQLAlchemy, DuckDB) read as a schema mapping."""

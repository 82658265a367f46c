"""Live catalogs: the tables and columns of a database (SQLAlchemy, DuckDB)
read as a schema mapping, with secrets kept out of every message."""

"""The engine: its native core (``_engine``) and the Python side around it,
from dialect rules and schemas to parsing, results, scripts and routines."""

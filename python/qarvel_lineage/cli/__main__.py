"""``python -m qarvel_lineage.cli``: the command line."""

from qarvel_lineage.cli.main import main_entry

main_entry()

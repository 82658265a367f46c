"""The command's answers as data (walks, tables by role, changes), and their text and Graphviz forms."""

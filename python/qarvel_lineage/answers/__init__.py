"""The answers to the command's questions (walks, tables by role, changes)
as data, and their text and Graphviz forms."""

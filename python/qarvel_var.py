"""The analyser's store: statement records keyed by fingerprint.

A statement record is a ``Record``: its entries are plain attributes, so
``record.sql`` and ``record.sort += 1`` cost what any attribute access costs.
An entry that was never written reads as ``None``.  Lists are kept as the very
list objects given; dicts inside a list written to a record become ``Column``
objects in place, so column records read back through a record answer both as
mappings (``column.get("sort")``) and by attribute (``column.sort``).
``todict()`` gives plain dicts and lists all the way down.
"""

__all__ = ["QarvelVar", "Record", "Column"]


class Column(dict):
    """A column record: a dict whose keys also read as attributes."""

    __slots__ = ()

    def __getattr__(self, name):
        if name[:2] == "__":
            raise AttributeError(name)
        return self.get(name)

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None


def _columns_in_place(items):
    """Turn the plain dicts of ``items`` into ``Column`` objects, in place."""
    for index, item in enumerate(items):
        if type(item) is dict:
            items[index] = Column(item)


# Values that are copied as they stand.
_ATOMIC = frozenset({str, int, float, bool, type(None)})


def _plain(value):
    """Deep copy of ``value`` made of plain dicts and lists only."""
    kind = type(value)
    if kind in _ATOMIC:
        return value
    if kind is list or isinstance(value, list):
        return [item if type(item) in _ATOMIC else _plain(item) for item in value]
    if isinstance(value, dict):
        return {key: item if type(item) in _ATOMIC else _plain(item)
                for key, item in value.items()}
    if isinstance(value, Record):
        return value.todict()
    return value


class Record:
    """One statement record; entries are attributes."""

    # Read before they are first written: the analysis tests them for truth.
    format_sql = None
    parse_columns = None
    dialect = None

    def __init__(self, entries):
        fields = self.__dict__
        for key, value in entries.items():
            if type(value) is list:
                _columns_in_place(value)
            fields[key] = value

    def __setattr__(self, name, value):
        if type(value) is list:
            _columns_in_place(value)
        self.__dict__[name] = value

    def __getattr__(self, name):
        if name[:2] == "__":
            raise AttributeError(name)
        return None

    def todict(self):
        return {key: value if type(value) in _ATOMIC else _plain(value)
                for key, value in self.__dict__.items()}

    def __repr__(self):
        return f"Record({self.__dict__!r})"


class QarvelVar:
    """Maps a fingerprint (``str``) to its statement record."""

    __slots__ = ("_records",)

    def __init__(self):
        self._records = {}

    def keys(self):
        return self._records.keys()

    def add(self, **records):
        for key, entries in records.items():
            self._records[key] = Record(entries)

    def get(self, key):
        return self._records.get(key)

    def __contains__(self, key):
        return key in self._records

    def __len__(self):
        return len(self._records)

    def todict(self):
        return {key: record.todict() for key, record in self._records.items()}

"""OpenLineage where pipelines run: the columnLineage facets of what SQL
statements write, their datasets named as the producer of an event names
them (``naming``, ``facets``); events made of them and sent through
openlineage-python's transports (``events``, ``send``); a transformer of
that client's ``transform`` transport (``transformer``)."""

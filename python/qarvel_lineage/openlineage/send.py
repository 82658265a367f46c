"""Events sent through openlineage-python's client: its transports and its
configuration as its users give it (OPENLINEAGE_URL and OPENLINEAGE_API_KEY,
openlineage.yml in the working folder or where OPENLINEAGE_CONFIG says,
OPENLINEAGE__TRANSPORT__... variables): HTTP, file, console, Kafka,
composite, transform...

Every event that cannot be sent is said in one line, with why; no secret of
the transport's configuration (passwords, tokens, keys, headers, a URL's
user info) appears in a line.  After ``MAX_FAILURES_IN_A_ROW`` failed sends
in a row the remaining events are not tried, and one line says how many."""

from __future__ import annotations

import logging
import os
import re
import socket
from typing import Any, Callable, TextIO

from qarvel_lineage.catalog.database import is_secret_name, mask_secrets, url_secrets

__all__ = ["SendError", "Sender", "MAX_FAILURES_IN_A_ROW"]

MAX_FAILURES_IN_A_ROW = 3
# Keys whose every value is secret, whatever its own name.
_SECRET_SECTIONS = ("auth", "headers", "custom_headers", "properties", "config")
# Loggers whose lines would repeat a failure (a line per retry) and may
# name the endpoint: kept quiet while events are sent.
_QUIET = ("openlineage", "urllib3", "requests", "httpx", "kafka", "confluent_kafka")
_CONSOLE = "openlineage.client.transport.console"
_DEPTH = 32
_USERINFO = re.compile(r"[^\s:/@]*:([^\s/@]+)@")
_MAX_CONFIG_BYTES = 1 << 20


def _events(count: int) -> str:
    return f"{count} event" + ("" if count == 1 else "s")


class SendError(Exception):
    """The transport cannot be set up: no configuration, or a wrong one."""


def _secrets(config: Any) -> set[str]:
    """Every secret value of a transport's configuration: values under a
    secret's name or in a section of secrets, and the secrets of URLs."""
    found: set[str] = set()
    stack: list[tuple[Any, bool, int]] = [(config, False, 0)]
    while stack:
        value, secret, depth = stack.pop()
        if depth > _DEPTH:
            continue
        if isinstance(value, dict):
            for key, inner in value.items():
                named = isinstance(key, str) and (is_secret_name(key) or key in _SECRET_SECTIONS)
                stack.append((inner, secret or named, depth + 1))
        elif isinstance(value, (list, tuple)):
            stack.extend((inner, secret, depth + 1) for inner in value)
        elif isinstance(value, str) and value:
            if secret:
                found.add(value)
            if "://" in value or "=" in value:
                found.update(url_secrets(value))
            # user:password@ even where the URL is malformed
            found.update(match.group(1) for match in _USERINFO.finditer(value))
    return {secret for secret in found if secret.strip()}


def _causes(error: BaseException) -> list[BaseException]:
    """The error and those under it (causes, contexts, a retry's reason,
    wrapped errors), each once, at most a few dozen."""
    seen: list[BaseException] = []
    todo = [error]
    while todo and len(seen) < _DEPTH:
        current = todo.pop(0)
        if any(current is known for known in seen):
            continue
        seen.append(current)
        inner = [getattr(current, "reason", None), current.__cause__, current.__context__,
                 *current.args]
        todo.extend(item for item in inner if isinstance(item, BaseException))
    return seen


def reason(error: BaseException) -> str:
    """Why a send failed, in a few words that name no URL."""
    found = _causes(error)
    for item in found:
        response = getattr(item, "response", None)
        status = getattr(response, "status_code", None)
        if isinstance(status, int):
            return f"the receiver answered HTTP {status} {getattr(response, 'reason', '') or ''}".rstrip()
    names = {type(item).__name__ for item in found}
    if any(isinstance(item, ConnectionRefusedError) for item in found):
        return "connection refused"
    if any(isinstance(item, (TimeoutError, socket.timeout)) for item in found) \
            or names & {"ReadTimeout", "ConnectTimeout", "ReadTimeoutError", "ConnectTimeoutError",
                        "Timeout", "TimeoutException"}:
        return "no answer in time"
    if any(isinstance(item, socket.gaierror) for item in found) or "NameResolutionError" in names:
        return "the receiver's host name does not resolve"
    for item in found:
        if type(item).__name__ == "ResponseError" and item.args:  # urllib3: too many 503 answers
            return str(item.args[0]).splitlines()[0]
    text = str(error).strip()
    return f"{type(error).__name__}: {text.splitlines()[0]}" if text else type(error).__name__


def _config_file(path: str | None) -> dict[str, Any]:
    """The configuration file the client reads (at ``path``), for its
    secrets; one it would skip with a log line (a path OPENLINEAGE_CONFIG
    names that is not a file, a file that is not YAML) is an error here."""
    named = os.environ.get("OPENLINEAGE_CONFIG")
    if named and not (os.path.isfile(named) and os.access(named, os.R_OK)):
        raise SendError(f"OPENLINEAGE_CONFIG names {named}, which is not a readable file")
    if path is None:
        return {}
    import yaml

    try:
        with open(path, encoding="utf-8") as handle:
            content = yaml.safe_load(handle.read(_MAX_CONFIG_BYTES + 1))
    except (OSError, UnicodeDecodeError, yaml.YAMLError) as error:
        first = (str(error).splitlines() or [type(error).__name__])[0]
        raise SendError(f"{path}: not a readable YAML file ({first})") from None
    if not isinstance(content, dict):
        raise SendError(f"{path}: an OpenLineage configuration is a mapping (transport: ...)")
    return content


class _Quiet:
    """The client's loggers silenced, and a console transport's events
    written to ``out``, while events are sent."""

    def __init__(self, out: TextIO):
        self.out = out

    def __enter__(self) -> "_Quiet":
        self.saved = []
        for name in (*_QUIET, _CONSOLE):
            logger = logging.getLogger(name)
            self.saved.append((logger, logger.handlers[:], logger.propagate, logger.level))
            logger.handlers = [logging.NullHandler()]
            logger.propagate = False
        console = logging.getLogger(_CONSOLE)
        handler = logging.StreamHandler(self.out)
        handler.setFormatter(logging.Formatter("%(message)s"))
        console.handlers = [handler]
        console.setLevel(logging.INFO)
        return self

    def __exit__(self, *exc_info: Any) -> None:
        for logger, handlers, propagate, level in self.saved:
            logger.handlers, logger.propagate = handlers, propagate
            logger.setLevel(level)


class Sender:
    """openlineage-python's client as its configuration sets it up, and the
    events sent through it one at a time: ``fail`` gets one line for each
    event that could not be sent, and for those not tried; ``note`` a line
    for events its configuration says not to send (OPENLINEAGE_DISABLED).
    A console transport writes its events to ``out``."""

    def __init__(self, fail: Callable[[str], None], note: Callable[[str], None], out: TextIO):
        self.say = fail
        self.note = note
        self.out = out
        self.sent = self.failed = self.skipped = 0
        self.in_a_row = 0
        self.disabled = os.environ.get("OPENLINEAGE_DISABLED", "").strip().lower() == "true"
        # The client's variables: secrets by name, in an auth or headers
        # section (OPENLINEAGE__TRANSPORT__AUTH__...), or in a URL.
        env = {name: value for name, value in os.environ.items() if name.startswith("OPENLINEAGE")}
        self.secrets = _secrets(env) | {value for name, value in env.items()
                                        if ("AUTH" in name or "HEADER" in name) and value.strip()}
        with _Quiet(out):
            try:
                from openlineage.client import OpenLineageClient
            except ImportError:
                raise SendError("--emit needs openlineage-python: pip install "
                                "'sqlglot-main[openlineage]'") from None
            written = _config_file(OpenLineageClient._find_yaml_config_path())
            self.secrets |= _secrets(written)
            try:
                self.client = OpenLineageClient()
                config = self.client.config.transport or {}
            except Exception as error:
                raise SendError(self.masked("the OpenLineage configuration is wrong: "
                                            + reason(error))) from None
        self.secrets |= _secrets(config)
        if not self.disabled and not config.get("type") and not os.environ.get("OPENLINEAGE_URL"):
            raise SendError("--emit needs an OpenLineage transport: set OPENLINEAGE_URL, or "
                            "describe one in openlineage.yml (in this folder, or where "
                            "OPENLINEAGE_CONFIG says)")

    def masked(self, line: str) -> str:
        return mask_secrets(line, None, self.secrets)

    def send(self, event: dict[str, Any]) -> None:
        """One event sent, or said not to be."""
        where = f"{event['job']['name']} ({event['eventType']})"
        if self.disabled:
            self.skipped += 1
            return
        if self.in_a_row >= MAX_FAILURES_IN_A_ROW:
            self.skipped += 1
            return
        from qarvel_lineage.openlineage.objects import run_event

        try:
            with _Quiet(self.out):
                self.client.emit(run_event(event))
        except Exception as error:
            self.failed += 1
            self.in_a_row += 1
            self.say(self.masked(f"cannot send the event of {where}: {reason(error)}"))
            return
        self.sent += 1
        self.in_a_row = 0

    def close(self) -> None:
        """The transport closed (a queue emptied); what was not sent said."""
        try:
            with _Quiet(self.out):
                done = self.client.close(30.0)
        except Exception as error:
            done = False
            self.say(self.masked(f"the OpenLineage transport did not close: {reason(error)}"))
        stats = getattr(self.client.transport, "get_stats", None)
        if callable(stats):  # a transport that sends in the background counts its failures
            counts = stats()
            lost = int(counts.get("failed", 0)) + int(counts.get("pending", 0))
            if lost:
                self.failed += lost
                self.sent -= lost
                self.say(f"{_events(lost)} not delivered by the {self.client.transport.kind} "
                         "transport")
        elif not done:
            self.say("the OpenLineage transport did not finish sending in 30 s")
        if self.disabled and self.skipped:
            self.note(f"OPENLINEAGE_DISABLED is true: {_events(self.skipped)} not sent")
        elif self.skipped:
            self.say(f"not sent: {_events(self.skipped)} more ({MAX_FAILURES_IN_A_ROW} sends in a "
                     "row failed)")

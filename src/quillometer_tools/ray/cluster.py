"""Starting or joining the Ray cluster that the shards run on, and waiting on it: one wait with a
deadline that reports its progress, one retry policy, and the errors of the layer's waits.

Nothing here imports Ray when the module is imported: Ray reads some of its settings from the
environment when it is first imported, and start_local_ray and connect set them first."""

from __future__ import annotations

import logging
import os
import socket
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, TypeVar

T = TypeVar("T")

# The layer's logger: what a long wait waits for, and each rebuild.
logger = logging.getLogger("quillometer_tools.ray.frontend")

# Read by Ray when it is first imported (each setting unless the environment has it already):
# take 127.0.0.1 as this node's address, so that every Ray server binds to loopback, and send
# no usage statistics.
_DRIVER_ENVIRONMENT = {"RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER": "0", "RAY_USAGE_STATS_ENABLED": "0"}


class PlacementError(RuntimeError):
    """The cluster cannot hold the shards asked for."""


class ShardTimeoutError(TimeoutError):
    """A shard did not answer within the timeout. Its calls not yet confirmed stay queued (a
    later call waits for the shard again); the other shards are untouched."""

    def __init__(self, shard: int, message: str) -> None:
        super().__init__(message)
        self.shard = shard


def import_ray() -> Any:
    """Ray (untyped: its functions carry no annotations), imported once this process's
    environment has the driver's settings."""
    for name, value in _DRIVER_ENVIRONMENT.items():
        os.environ.setdefault(name, value)
    import ray

    return ray


def start_local_ray(num_cpus: int, object_store_mb: int = 256) -> None:
    """Starts Ray on this machine only, every listener on 127.0.0.1, no dashboard: a new
    instance even when RAY_ADDRESS or a running cluster on this machine could be joined."""
    ray = import_ray()
    ray.init(
        address="local",
        num_cpus=num_cpus,
        include_dashboard=False,
        object_store_memory=object_store_mb * 1024 * 1024,
        log_to_driver=False,
        configure_logging=False,
    )
    address = ray.util.get_node_ip_address()
    if address != "127.0.0.1":
        ray.shutdown()
        raise RuntimeError(
            f"Ray took {address} as this node's address: it was imported before start_local_ray "
            "could set RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER=0; import ray after start_local_ray, "
            "or set that variable in the environment"
        )
    _set_up_the_shards()


def connect(address: str, *, node_ip_address: str | None = None) -> None:
    """Joins an existing Ray cluster at `address` (host:port of its head) as a driver. This
    node's address defaults to the one this machine reaches the head from. A cluster started
    with RAY_AUTH_MODE=token needs the same mode, and its token, in this process's environment
    (RAY_AUTH_TOKEN, or RAY_AUTH_TOKEN_PATH)."""
    if node_ip_address is None:
        host, _, port = address.rpartition(":")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.connect((host or port, int(port) if host else 6379))
            node_ip_address = str(probe.getsockname()[0])
    ray = import_ray()
    ray.init(
        address=address,
        _node_ip_address=node_ip_address,
        log_to_driver=False,
        configure_logging=False,
    )
    _set_up_the_shards()


def _set_up_the_shards() -> None:
    from .remote import shard_actor

    shard_actor()


@dataclass
class Patience:
    """How long one wait on the cluster may last, and how often a long one is reported."""

    timeout: float
    log_interval: float


def wait_with_deadline(
    attempt: Callable[[float], T],
    patience: Patience,
    report: Callable[[float], None],
    expired: Callable[[], BaseException],
    *,
    no_answer: type[BaseException] = TimeoutError,
) -> T:
    """attempt(seconds) until it answers. Each attempt may block for up to `seconds` (never past
    the next report or the deadline) and raises `no_answer` when it has none yet. Every
    `log_interval` seconds without an answer calls report(seconds waited so far); once
    `timeout` seconds have passed, raises expired()."""
    started = time.monotonic()
    deadline = started + patience.timeout
    next_report = started + patience.log_interval
    while True:
        try:
            return attempt(max(0.0, min(deadline, next_report) - time.monotonic()))
        except no_answer:
            now = time.monotonic()
            if now >= deadline:
                raise expired() from None
            if now >= next_report:
                report(now - started)
                next_report = now + patience.log_interval


class TryAgain(Exception):
    """Raised by an attempt of `retry` that failed in a way that another attempt may cure."""


def retry(attempt: Callable[[], T], failure: str, attempts: int = 3) -> T:
    """attempt() until it returns, at most `attempts` times; RuntimeError(failure) when every
    attempt raised TryAgain."""
    for _ in range(attempts):
        try:
            return attempt()
        except TryAgain:
            continue
    raise RuntimeError(failure)

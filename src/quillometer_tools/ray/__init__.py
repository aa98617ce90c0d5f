"""Scale-out on Ray: one stream's columns spread over shard actors, each with its own
Quillometer; exact results, a recovery log on disk, and a lost shard rebuilt by replaying it."""

from .codec import shard_of, write_partitions
from .frontend import (
    PlacementError,
    ShardedQuillometer,
    ShardTimeoutError,
    connect,
    start_local_ray,
)
from .log import LogLimitError
from .shard import STATISTICS, UnknownColumnError

__all__ = [
    "STATISTICS",
    "LogLimitError",
    "PlacementError",
    "ShardTimeoutError",
    "ShardedQuillometer",
    "UnknownColumnError",
    "connect",
    "shard_of",
    "start_local_ray",
    "write_partitions",
]

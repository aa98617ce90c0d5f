"""Scale-out example: one stream's columns spread over Ray actors, each with its own
Quillometer; exact results, and a lost actor rebuilt by replaying its input."""

from .codec import shard_of, write_partitions
from .frontend import ShardedQuillometer, start_local_ray
from .shard import STATISTICS, UnknownColumnError

__all__ = [
    "STATISTICS",
    "ShardedQuillometer",
    "UnknownColumnError",
    "shard_of",
    "start_local_ray",
    "write_partitions",
]

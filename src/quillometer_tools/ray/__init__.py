"""Scale-out on Ray: one stream's columns spread over shard actors, each with its own
Quillometer; exact results, a recovery log on disk, and a lost shard rebuilt by replaying it.
Importing the package changes nothing global and does not import Ray; start_local_ray and
connect set up what a driver needs, then import it."""

from .cluster import PlacementError, ShardTimeoutError, connect, start_local_ray
from .codec import shard_of, write_partitions
from .frontend import ShardedQuillometer
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

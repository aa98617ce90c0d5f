"""Scale-out on Ray: columns spread over shard actors, with recovery by replay."""

"""One local Ray for the whole scale-out session (starting it takes seconds), shut down at the end."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", ".."))


@pytest.fixture(scope="session")
def ray_session():
    from examples.scale_out import start_local_ray

    import ray

    start_local_ray(num_cpus=3, object_store_mb=128)
    yield ray
    ray.shutdown()

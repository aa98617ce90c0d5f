"""One local Ray for the whole scale-out session (starting it takes seconds), shut down at the
end. The tests import the installed quillometer_tools package, never the repository's copy.
Ray is imported once start_local_ray has set up the environment, as a driver must."""

import pytest


@pytest.fixture(scope="session")
def ray_session():
    from quillometer_tools.ray import start_local_ray

    start_local_ray(num_cpus=3, object_store_mb=128)
    import ray

    yield ray
    ray.shutdown()

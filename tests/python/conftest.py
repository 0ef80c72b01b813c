import os

import pytest
from hypothesis import HealthCheck, settings

from cubehelpers import CUBE_CLASSES

# The tests search with the small tables, which every machine has, and see
# no warning about the large one; TURNSMITH_LARGE_TABLE=path runs them with it.
os.environ.setdefault("TURNSMITH_LARGE_TABLE", "")

# Derandomised and without an example database, so a run is repeatable and
# leaves no files behind; HYPOTHESIS_PROFILE=explore searches more widely.
settings.register_profile(
    "turnsmith",
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=60,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("explore", database=None, deadline=None, max_examples=1000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "turnsmith"))


@pytest.fixture(params=CUBE_CLASSES, ids=lambda cls: cls.__name__)
def cube_cls(request):
    return request.param


@pytest.fixture(scope="session")
def np():
    return pytest.importorskip("numpy")


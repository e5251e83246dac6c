import os
import sys

import pytest

# The example is a script, not a package; spawned Dask workers inherit this
# path, so they import it too.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))


@pytest.fixture(scope="session")
def client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        yield client

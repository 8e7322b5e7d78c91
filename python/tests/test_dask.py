"""fit_array and fit_peaks_array on numpy and on Dask arrays, the latter on a local cluster of
two worker processes that survives losing one of them mid-computation."""
import os
import signal

import numpy as np
import pytest

import vesk_numerics as vn
from vesk_numerics.dask import fit_array, fit_peaks_array

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

TIMEOUT = 120  # seconds; every wait on the cluster is bounded


def cube(shape=(64, 64), samples=100, seed=5):
    """Synthetic hyperspectral cube: one noisy peak per pixel, its centre drifting across."""
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 50.0, samples)
    rows, columns = np.indices(shape)
    means = 20.0 + 10.0 * rows / shape[0] + 3.0 * columns / shape[1]
    data = 40.0 * np.exp(-0.5 * ((x - means[..., None]) / 2.5) ** 2) + 4.0
    return x, data + rng.normal(0.0, 0.5, data.shape)


def test_numpy_input_keeps_the_leading_shape_along_any_axis():
    x, data = cube((6, 5), 80)
    expected = vn.fit_many(x, data.reshape(30, 80)).reshape(6, 5)
    assert np.array_equal(fit_array(data, x), expected)
    assert np.array_equal(fit_array(np.moveaxis(data, -1, 0), x, axis=0), expected)
    assert fit_array(data[0, 0]).shape == ()  # one series, against the sample index
    with pytest.raises(ValueError, match="x must be 1-D of length 80"):
        fit_array(data, x[:-1])
    with pytest.raises(ValueError, match="axis 3 is out of range"):
        fit_array(data, x, axis=3)


def test_threaded_dask_matches_numpy_with_settings():
    x, data = cube((12, 10), 60)
    lazy = fit_array(da.from_array(data, chunks=(5, 4, 20)), x, constant_offset=4.0,
                     solver="normal_equations")
    assert lazy.shape == (12, 10) and lazy.dtype == vn.RESULT_DTYPE
    expected = fit_array(data, x, constant_offset=4.0, solver="normal_equations")
    assert np.array_equal(lazy.compute(scheduler="threads"), expected)


def computed_despite_a_killed_worker(make_lazy, tmp_path):
    """Computes make_lazy()'s graph on a local cluster of two worker processes, one of which is
    killed once the first block is done; returns the result."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40,
                                  local_directory=str(tmp_path)) as cluster, \
            distributed.Client(cluster, timeout=TIMEOUT) as client:
        persisted = client.persist(make_lazy())
        blocks = distributed.futures_of(persisted)
        distributed.wait(blocks, timeout=TIMEOUT, return_when="FIRST_COMPLETED")
        first = next(block for block in blocks if block.done())
        (holders,) = client.who_has([first]).values()
        holder = next(iter(holders))
        pid = client.run(os.getpid, workers=[holder])[holder]
        os.kill(pid, signal.SIGKILL)  # its results are lost with it and must be fitted again
        return client.compute(persisted).result(timeout=TIMEOUT)


def test_cluster_survives_a_killed_worker(tmp_path):
    x, data = cube()
    expected = vn.fit_many(x, data.reshape(-1, 100)).reshape(64, 64)
    assert expected["ok"].all()
    results = computed_despite_a_killed_worker(
        lambda: fit_array(da.from_array(data, chunks=(8, 8, 50)), x), tmp_path)
    assert np.array_equal(results, expected)


def monitor(frames=(40, 12), channels=400, seed=9):
    """A detector's spectra over time: two lines of drifting strength on a sloping background,
    as counts."""
    rng = np.random.default_rng(seed)
    x = np.arange(float(channels))
    strength = 1.0 + 0.5 * np.sin(np.arange(np.prod(frames)) / 7.0).reshape(frames)
    expected = (30.0 - 0.03 * x + strength[..., None] * (
        300.0 * np.exp(-0.5 * ((x - 120.0) / 3.0) ** 2) +
        150.0 * np.exp(-0.5 * ((x - 260.0) / 3.5) ** 2)))
    return x, rng.poisson(expected).astype(float)


def test_fit_peaks_array_equals_fit_peaks_many_on_a_cluster_that_loses_a_worker(tmp_path):
    x, spectra = monitor()
    settings = {"peaks": [260.0, 120.0], "errors": "poisson"}
    expected = vn.fit_peaks_many(x, spectra.reshape(-1, x.size), **settings).reshape(40, 12, 2)
    assert expected["ok"].all() and expected.dtype == vn.BATCH_PEAK_DTYPE
    # To the bit, with the NaN of absent shape parameters and of rates without a live time.
    assert (fit_peaks_array(np.moveaxis(spectra, -1, 0), x, axis=0, **settings).tobytes() ==
            expected.tobytes())
    results = computed_despite_a_killed_worker(
        lambda: fit_peaks_array(da.from_array(spectra, chunks=(10, 6, 200)), x, **settings),
        tmp_path)
    assert results.shape == (40, 12, 2)
    assert results.tobytes() == expected.tobytes()

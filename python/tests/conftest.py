"""Shared data for the package's tests: noisy peaks shaped like spectrometer lines."""
import numpy as np
import pytest


def noisy_peak(n=101, seed=3, amplitude=850.0, mean=661.7, sigma=1.8, offset=120.0, noise=15.0):
    rng = np.random.default_rng(seed)
    x = np.linspace(mean - 11.7, mean + 13.3, n)
    y = amplitude * np.exp(-0.5 * ((x - mean) / sigma) ** 2) + offset + rng.normal(0, noise, n)
    return x, y


@pytest.fixture
def peak():
    return noisy_peak()


@pytest.fixture
def batch():
    """Forty peaks on one grid, with drifting centres and widths and their own noise."""
    x = np.linspace(0.0, 20.0, 100)
    rng = np.random.default_rng(11)
    means = rng.uniform(8.0, 12.0, 40)
    sigmas = rng.uniform(0.8, 2.5, 40)
    ys = 5.0 * np.exp(-0.5 * ((x - means[:, None]) / sigmas[:, None]) ** 2) + 1.0
    return x, ys + rng.normal(0.0, 0.05, ys.shape)

"""Simulated gamma-ray spectra with known lines, for the tests and the benchmarks."""
import numpy as np
from scipy.special import erfc

FWHM_PER_SIGMA = 2.0 * np.sqrt(2.0 * np.log(2.0))


def gamma_spectrum(seed, channels=8192, lines=40, doublets=6, fwhm=lambda x: 4.0 + 0.001 * x,
                   background=400.0):
    """Poisson counts of `lines` Gaussian lines, `doublets` pairs of them 1.2 to 1.6 FWHM apart
    and the others at least 4 FWHM from any, on a background falling exponentially.

    Returns x (channel numbers), counts, and the true lines as rows (mean, area, sigma).
    """
    rng = np.random.default_rng(seed)
    x = np.arange(channels, dtype=np.float64)
    expected = background * np.exp(-x / 1500.0) + background / 20.0 * np.exp(-x / 6000.0)
    true = []
    singles = lines - 2 * doublets
    while len(true) < lines:
        centre = rng.uniform(150.0, channels - 150.0)
        width = fwhm(centre)
        if any(abs(centre - t[0]) < 4.0 * max(width, fwhm(t[0])) for t in true):
            continue
        if len(true) < singles:
            true.append((centre, rng.uniform(300.0, 20000.0)))
            continue
        partner = centre + rng.uniform(1.2, 1.6) * width
        if any(abs(partner - t[0]) < 4.0 * width for t in true):
            continue
        true += [(centre, rng.uniform(2000.0, 20000.0)), (partner, rng.uniform(2000.0, 20000.0))]
    true.sort()
    lines_out = []
    for centre, area in true:
        sigma = fwhm(centre) / FWHM_PER_SIGMA
        expected += area / (sigma * np.sqrt(2.0 * np.pi)) * np.exp(-0.5 * ((x - centre) / sigma) ** 2)
        lines_out.append((centre, area, sigma))
    return x, rng.poisson(expected).astype(np.float64), np.array(lines_out)


def germanium_spectrum(seed, channels=4096, lines=40, kev_per_channel=0.4):
    """Poisson counts of `lines` Gaussian lines of random energies and areas (60 to 10^4.5), each
    with its Compton edge, on a background falling with the energy; the FWHM grows with the
    energy as a germanium detector's does.

    Returns x (keV) and counts.
    """
    rng = np.random.default_rng(seed)
    x = kev_per_channel * np.arange(channels, dtype=np.float64)
    expected = 2000.0 * np.exp(-x / 300.0) + 20.0
    energies = np.sort(rng.uniform(60.0, 1600.0, lines))
    areas = 10.0 ** rng.uniform(1.8, 4.5, lines)
    for energy, area in zip(energies, areas):
        sigma = np.sqrt(1.0 + 0.002 * energy + 1e-6 * energy ** 2) / FWHM_PER_SIGMA
        expected += area / kev_per_channel / (sigma * np.sqrt(2.0 * np.pi)) * np.exp(
            -0.5 * ((x - energy) / sigma) ** 2)
        edge = energy * (1.0 - 1.0 / (1.0 + 2.0 * energy / 511.0))
        expected += 0.002 * area * erfc((x - edge) / 8.0) * (x < edge + 40.0)
    return x, rng.poisson(expected).astype(np.float64)


def match_lines(peaks, true):
    """Pairs each true line with the fitted peak within one sigma of it. Returns the list of
    (true row, peak) pairs, the true lines without a peak, and the peaks without a line."""
    means = np.where(np.isnan(peaks["mean"]), np.inf, peaks["mean"])
    pairs, missed = [], []
    used = set()
    for line in true:
        nearest = int(np.argmin(np.abs(means - line[0])))
        if abs(means[nearest] - line[0]) < line[2]:
            pairs.append((line, peaks[nearest]))
            used.add(nearest)
        else:
            missed.append(line)
    false = [peaks[i] for i in range(peaks.size) if i not in used]
    return pairs, missed, false

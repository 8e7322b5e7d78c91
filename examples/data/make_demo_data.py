#!/usr/bin/env python3
"""Writes the demo data files of vesk-numerics, reproducibly (fixed seeds, standard library only).

peak.dat:   a gamma-ray line as a spectrometer records it: counts against energy in keV,
            a Gaussian peak A exp(-(E - mu)^2 / (2 sigma^2)) + c with
            A = 850 counts, mu = 661.7 keV, sigma = 1.8 keV, c = 120 counts,
            sampled every 0.25 keV from 650 to 675 keV, with Gaussian noise of 15 counts.
gamma_lines.csv: an instrument's export with four columns (channel, energy_keV, counts,
            uncertainty) holding two lines on a falling background: A = 400 counts at
            609.3 keV (sigma 1.7 keV) and A = 850 counts at 661.7 keV (sigma 1.8 keV),
            over c = 150 - 0.1 (E - 600 keV) counts, sampled every 0.25 keV from 590 to
            680 keV.
series/run_01.dat ... run_06.dat: the line of peak.dat measured six times while the
            spectrometer's gain drifts: the mean moves by +0.04 keV from one run to the next.
calibration_mixture.dat: a germanium detector's spectrum of a calibration mixture: 4 096 channels of
            0.5 keV (energy_keV, counts), lines of Am-241, Ba-133, Eu-152, Na-22, Cs-137 and
            Co-60 and the close Eu-152 doublet at 1085.8/1089.7 keV, with a FWHM of
            1.0 keV + 0.0008 E, on a background falling with energy, with Poisson noise.
signal.dat: a slow oscillation 2 sin(2 pi t / 4 s) + 0.5 t / 10 s, sampled every 0.05 s for
            10 s, with Gaussian noise of 0.25 V; for the smoothing example.

Usage: make_demo_data.py [OUTPUT_DIR]   (default: the directory of this script)
"""
import math
import os
import random
import sys

PEAK = dict(amplitude=850.0, mean=661.7, sigma=1.8, offset=120.0, noise=15.0)


def peak_value(energy, amplitude, mean, sigma):
    z = (energy - mean) / sigma
    return amplitude * math.exp(-0.5 * z * z)


def write_line(path, seed, mean, comments):
    """The line of PEAK at `mean`, sampled every 0.25 keV from 650 to 675 keV, with noise."""
    rng = random.Random(seed)
    with open(path, "w") as out:
        for comment in comments:
            out.write(f"# {comment}\n")
        out.write("energy_keV counts\n")
        for i in range(101):
            energy = 650.0 + 0.25 * i
            counts = peak_value(energy, PEAK["amplitude"], mean, PEAK["sigma"]) + PEAK["offset"]
            counts += rng.gauss(0.0, PEAK["noise"])
            out.write(f"{energy:.2f} {counts:.1f}\n")


def write_peak(path):
    write_line(path, 661, PEAK["mean"],
               ["Gaussian line: A=850 counts, mu=661.7 keV, sigma=1.8 keV, c=120 counts,",
                "Gaussian noise 15 counts; made by make_demo_data.py"])


def write_spectrum(path):
    rng = random.Random(609)
    with open(path, "w") as out:
        out.write("# Two lines: A=400 at 609.3 keV (sigma 1.7), A=850 at 661.7 keV (sigma 1.8),\n")
        out.write("# background 150 - 0.1 (E - 600) counts; made by make_demo_data.py\n")
        out.write("channel,energy_keV,counts,uncertainty\n")
        for i in range(361):
            energy = 590.0 + 0.25 * i
            counts = (peak_value(energy, 400.0, 609.3, 1.7) + peak_value(energy, 850.0, 661.7, 1.8)
                      + 150.0 - 0.1 * (energy - 600.0))
            counts += rng.gauss(0.0, math.sqrt(counts))
            out.write(f"{2360 + i},{energy:.2f},{counts:.1f},{math.sqrt(max(counts, 1.0)):.2f}\n")


def write_series(directory, runs=6, drift_keV=0.04):
    os.makedirs(directory, exist_ok=True)
    for run in range(1, runs + 1):
        mean = PEAK["mean"] + drift_keV * (run - 1)
        write_line(os.path.join(directory, f"run_{run:02d}.dat"), 1000 + run, mean,
                   [f"run {run}: the line of peak.dat with its mean at {mean:.2f} keV"])


# (energy keV, net counts) of the mixture's lines.
CALIBRATION_LINES = [
    (59.54, 40000), (81.00, 22000), (121.78, 30000), (244.70, 6000), (276.40, 5000),
    (302.85, 11000), (344.28, 24000), (356.01, 30000), (383.85, 4000), (411.12, 2200),
    (443.96, 3000), (511.00, 9000), (661.66, 26000), (778.90, 7500), (867.38, 2400),
    (964.08, 8000), (1085.84, 5500), (1089.74, 900), (1112.08, 7000), (1173.23, 15000),
    (1274.54, 6000), (1332.49, 13500), (1408.01, 9500)]
KEV_PER_CHANNEL = 0.5


def poisson(rng, mean):
    """A Poisson count: Knuth's product method for small means, else Hormann's transformed
    rejection (PTRS)."""
    if mean < 30.0:
        limit, product, count = math.exp(-mean), rng.random(), 0
        while product > limit:
            product *= rng.random()
            count += 1
        return count
    b = 0.931 + 2.53 * math.sqrt(mean)
    a = -0.059 + 0.02483 * b
    inverse_alpha = 1.1239 + 1.1328 / (b - 3.4)
    v_r = 0.9277 - 3.6224 / (b - 2)
    while True:
        u, v = rng.random() - 0.5, rng.random()
        us = 0.5 - abs(u)
        k = math.floor((2 * a / us + b) * u + mean + 0.43)
        if us >= 0.07 and v <= v_r:
            return k
        if k < 0 or (us < 0.013 and v > us):
            continue
        if (math.log(v * inverse_alpha / (a / (us * us) + b)) <=
                -mean + k * math.log(mean) - math.lgamma(k + 1)):
            return k


def write_gamma_spectrum(path, channels=4096):
    rng = random.Random(152)
    with open(path, "w") as out:
        out.write("# Calibration mixture (Am-241, Ba-133, Eu-152, Na-22, Cs-137, Co-60) on a\n")
        out.write("# germanium detector, 0.5 keV per channel; made by make_demo_data.py\n")
        out.write("energy_keV counts\n")
        for channel in range(channels):
            energy = (channel + 0.5) * KEV_PER_CHANNEL
            expected = 3000.0 * math.exp(-energy / 120.0) + 180.0 * math.exp(-energy / 700.0) + 4.0
            for line, area in CALIBRATION_LINES:
                sigma = (1.0 + 0.0008 * line) / 2.3548
                expected += (area * KEV_PER_CHANNEL / (sigma * math.sqrt(2 * math.pi)) *
                             math.exp(-0.5 * ((energy - line) / sigma) ** 2))
            out.write(f"{energy:.2f} {poisson(rng, expected)}\n")


def write_signal(path):
    rng = random.Random(4)
    with open(path, "w") as out:
        out.write("# 2 sin(2 pi t / 4) + 0.05 t volts with Gaussian noise 0.25 V\n")
        out.write("time_s voltage_V\n")
        for i in range(201):
            t = 0.05 * i
            v = 2.0 * math.sin(2.0 * math.pi * t / 4.0) + 0.05 * t + rng.gauss(0.0, 0.25)
            out.write(f"{t:.2f} {v:.4f}\n")


if __name__ == "__main__":
    directory = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    write_peak(os.path.join(directory, "peak.dat"))
    write_signal(os.path.join(directory, "signal.dat"))
    write_spectrum(os.path.join(directory, "gamma_lines.csv"))
    write_series(os.path.join(directory, "series"))
    write_gamma_spectrum(os.path.join(directory, "calibration_mixture.dat"))

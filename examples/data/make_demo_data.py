#!/usr/bin/env python3
"""Writes the demo data files of vesk-numerics, reproducibly (fixed seeds, standard library only).

peak.dat:   a gamma-ray line as a spectrometer records it: counts against energy in keV,
            a Gaussian peak A exp(-(E - mu)^2 / (2 sigma^2)) + c with
            A = 850 counts, mu = 661.7 keV, sigma = 1.8 keV, c = 120 counts,
            sampled every 0.25 keV from 650 to 675 keV, with Gaussian noise of 15 counts.
signal.dat: a slow oscillation 2 sin(2 pi t / 4 s) + 0.5 t / 10 s, sampled every 0.05 s for
            10 s, with Gaussian noise of 0.25 V; for the smoothing example.

Usage: make_demo_data.py [OUTPUT_DIR]   (default: the directory of this script)
"""
import math
import os
import random
import sys

PEAK = dict(amplitude=850.0, mean=661.7, sigma=1.8, offset=120.0, noise=15.0)


def write_peak(path):
    rng = random.Random(661)
    with open(path, "w") as out:
        out.write("# Gaussian line: A=850 counts, mu=661.7 keV, sigma=1.8 keV, c=120 counts,\n")
        out.write("# Gaussian noise 15 counts; made by make_demo_data.py\n")
        out.write("energy_keV counts\n")
        for i in range(101):
            energy = 650.0 + 0.25 * i
            z = (energy - PEAK["mean"]) / PEAK["sigma"]
            counts = PEAK["amplitude"] * math.exp(-0.5 * z * z) + PEAK["offset"]
            counts += rng.gauss(0.0, PEAK["noise"])
            out.write(f"{energy:.2f} {counts:.1f}\n")


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

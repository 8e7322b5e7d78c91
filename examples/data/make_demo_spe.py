#!/usr/bin/env python3
"""Writes calibration_mixture.Spe: calibration_mixture.dat as a spectrometer's acquisition
software saves it, an IAEA/ORTEC SPE file with counts per channel, live and real time, the start
of the measurement and the energy calibration (energy = 0.25 keV + 0.5 keV * channel: the
channels' centres in calibration_mixture.dat). Standard library only; run from anywhere."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
LIVE_TIME, REAL_TIME = 3600, 3712  # seconds
OFFSET, SLOPE = 0.25, 0.5  # keV, keV per channel


def main():
    counts = []
    with open(os.path.join(HERE, "calibration_mixture.dat")) as source:
        for line in source:
            fields = line.split("#")[0].split()
            if len(fields) == 2 and fields[1].isdigit():
                counts.append(int(fields[1]))
    with open(os.path.join(HERE, "calibration_mixture.Spe"), "w", newline="\r\n") as out:
        out.write("$SPEC_ID:\nCalibration mixture (Am-241, Ba-133, Eu-152, Na-22, Cs-137, Co-60)\n")
        out.write("$SPEC_REM:\nDET# 1\nDETDESC# germanium detector\n")
        out.write("$DATE_MEA:\n03/14/2024 09:26:53\n")
        out.write(f"$MEAS_TIM:\n{LIVE_TIME} {REAL_TIME}\n")
        out.write(f"$DATA:\n0 {len(counts) - 1}\n")
        out.writelines(f"{c:8d}\n" for c in counts)
        out.write(f"$ENER_FIT:\n{OFFSET:f} {SLOPE:f}\n")
        out.write(f"$MCA_CAL:\n2\n{OFFSET:E} {SLOPE:E} keV\n")


if __name__ == "__main__":
    main()

"""The check that fitted areas and their errors are calibrated against the truth."""
import numpy as np
import pytest


def assert_areas_calibrated(areas, errors, area, rel):
    """The mean of `areas` is `area` within `rel`, and their errors cover the truth as a standard
    deviation should: |pull| <= 1 for about 68 % of them and <= 2 for about 95 %."""
    pulls = (np.asarray(areas) - area) / np.asarray(errors)
    assert np.mean(areas) == pytest.approx(area, rel=rel)
    assert 0.65 <= np.mean(np.abs(pulls) <= 1.0) <= 0.71
    assert 0.93 <= np.mean(np.abs(pulls) <= 2.0) <= 0.97

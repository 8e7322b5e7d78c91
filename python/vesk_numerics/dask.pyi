from typing import Any, Optional

import numpy as np
import numpy.typing as npt

def fit_array(data: Any, x: Optional[npt.ArrayLike] = None, *, axis: int = -1,
              **settings: Any) -> Any: ...
def fit_peaks_array(data: Any, x: npt.ArrayLike, *, peaks: npt.ArrayLike, axis: int = -1,
                    **settings: Any) -> Any: ...

from typing import Any, Optional

import numpy as np
import numpy.typing as npt

def fit_array(data: Any, x: Optional[npt.ArrayLike] = None, *, axis: int = -1,
              **settings: Any) -> Any: ...

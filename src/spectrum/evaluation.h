#ifndef VESK_NUMERICS_SRC_SPECTRUM_EVALUATION_H
#define VESK_NUMERICS_SRC_SPECTRUM_EVALUATION_H

// The fitted curves of a spectrum, point by point, in absolute x.

#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::numerics::detail {

double background_at(Background background, double b0, double b1, double b2, double x);

double peak_at(const SpectrumPeak& peak, double x);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_EVALUATION_H

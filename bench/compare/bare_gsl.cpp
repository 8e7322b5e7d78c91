// The floor of the comparison: GSL's scaled Levenberg-Marquardt solver with the Gaussian model
// written inline and nothing else around it, from given start values, with the same settings
// and error estimates as the library. Usage: compare_bare_gsl FILE A MEAN VARIANCE OFFSET ...
#include <gsl/gsl_blas.h>
#include <gsl/gsl_multifit_nlin.h>

#include <cmath>
#include <cstdlib>

#include "timing.h"

namespace {

struct Points {
  std::size_t n;
  const gsl_vector* x;
  const gsl_vector* y;
};

int residuals(const gsl_vector* p, void* data, gsl_vector* f) {
  const auto* points = static_cast<const Points*>(data);
  const double a = gsl_vector_get(p, 0), mu = gsl_vector_get(p, 1), v = gsl_vector_get(p, 2),
               c = gsl_vector_get(p, 3);
  for (std::size_t i = 0; i < points->n; ++i) {
    const double d = gsl_vector_get(points->x, i) - mu;
    gsl_vector_set(f, i, std::exp(gsl_pow_2(d) * -0.5 / v) * a + c - gsl_vector_get(points->y, i));
  }
  return GSL_SUCCESS;
}

int jacobian(const gsl_vector* p, void* data, gsl_matrix* j) {
  const auto* points = static_cast<const Points*>(data);
  const double a = gsl_vector_get(p, 0), mu = gsl_vector_get(p, 1), v = gsl_vector_get(p, 2);
  const double two_v = v + v;
  for (std::size_t i = 0; i < points->n; ++i) {
    const double d = gsl_vector_get(points->x, i) - mu;
    const double e = std::exp(-(d * d) / two_v);
    const double slope = (a * e) * d;
    gsl_matrix_set(j, i, 0, e);
    gsl_matrix_set(j, i, 1, slope / v);
    gsl_matrix_set(j, i, 2, (d * slope) / (two_v * v));
    gsl_matrix_set(j, i, 3, 1.0);
  }
  return GSL_SUCCESS;
}

int both(const gsl_vector* p, void* data, gsl_vector* f, gsl_matrix* j) {
  residuals(p, data, f);
  jacobian(p, data, j);
  return GSL_SUCCESS;
}

struct Fit {
  int status = 0;
  double params[4] = {};
  double errors[4] = {};
};

Fit fit(const vesk::bench::Columns& data, const double (&start)[4]) {
  const std::size_t n = data.x.size();
  const gsl_vector_const_view x = gsl_vector_const_view_array(data.x.data(), n);
  const gsl_vector_const_view y = gsl_vector_const_view_array(data.y.data(), n);
  Points points{n, &x.vector, &y.vector};
  gsl_multifit_function_fdf model{residuals, jacobian, both, n, 4, &points, 0, 0};
  double initial[4] = {start[0], start[1], start[2], start[3]};
  gsl_vector_view initial_view = gsl_vector_view_array(initial, 4);
  gsl_matrix* j = gsl_matrix_alloc(n, 4);
  gsl_matrix* covariance = gsl_matrix_alloc(4, 4);
  gsl_multifit_fdfsolver* solver =
      gsl_multifit_fdfsolver_alloc(gsl_multifit_fdfsolver_lmsder, n, 4);
  gsl_multifit_fdfsolver_set(solver, &model, &initial_view.vector);
  int info = 0;
  Fit result;
  result.status = gsl_multifit_fdfsolver_driver(solver, 50, vesk::bench::kAccuracy,
                                                vesk::bench::kAccuracy, 0.0, &info);
  gsl_multifit_fdfsolver_jac(solver, j);
  gsl_multifit_covar(j, 0.0, covariance);
  const double chi = gsl_blas_dnrm2(gsl_multifit_fdfsolver_residual(solver));
  const double scale = chi / std::sqrt(static_cast<double>(n - 4));
  for (std::size_t i = 0; i < 4; ++i) {
    result.params[i] = gsl_vector_get(solver->x, i);
    result.errors[i] = scale * std::sqrt(gsl_matrix_get(covariance, i, i));
  }
  gsl_multifit_fdfsolver_free(solver);
  gsl_matrix_free(covariance);
  gsl_matrix_free(j);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 4 < argc; i += 5) {
    const vesk::bench::Columns data = vesk::bench::read_columns(argv[i]);
    const double start[4] = {std::atof(argv[i + 1]), std::atof(argv[i + 2]), std::atof(argv[i + 3]),
                             std::atof(argv[i + 4])};
    Fit result;
    const double microseconds =
        vesk::bench::median_microseconds([&] { result = fit(data, start); });
    vesk::bench::print_json(data.x.size(), start, result.params, result.errors, result.status,
                            microseconds);
  }
}

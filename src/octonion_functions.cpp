#include "src/octonion_functions.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace vyr::octonion {

namespace {

using Components = std::array<double, 8>;

double negated(double x) noexcept {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ (std::uint64_t{1} << 63));
}

// x1² + ... + x7², left to right from -0.0.
double vector_part_squared(const Components& x) noexcept {
  double sum = -0.0;
  for (std::size_t k = 1; k < 8; ++k) {
    sum = sum + x[k] * x[k];
  }
  return sum;
}

void conjugate(const Components& x, Components& out) noexcept {
  out[0] = x[0];
  for (std::size_t k = 1; k < 8; ++k) {
    out[k] = negated(x[k]);
  }
}

void inverse(const Components& x, Components& out) noexcept {
  double norm_squared = -0.0;
  for (std::size_t k = 0; k < 8; ++k) {
    norm_squared = norm_squared + x[k] * x[k];
  }
  out[0] = x[0] / norm_squared;
  for (std::size_t k = 1; k < 8; ++k) {
    out[k] = negated(x[k]) / norm_squared;
  }
}

void exponential(const Components& x, Components& out) noexcept {
  const double size = std::sqrt(vector_part_squared(x));
  const double scale = std::exp(x[0]);
  // sin |v| / |v| tends to 1 as |v| goes to 0.
  const double factor = scale * (size == 0.0 ? 1.0 : std::sin(size) / size);
  out[0] = scale * std::cos(size);
  for (std::size_t k = 1; k < 8; ++k) {
    out[k] = factor * x[k];
  }
}

void logarithm(const Components& x, Components& out) noexcept {
  const double vector_squared = vector_part_squared(x);
  const double size = std::sqrt(vector_squared);
  const double angle = std::atan2(size, x[0]);
  // A positive real has the real logarithm; a negative real has no unique
  // direction for its angle of π, which the division 0 × (π / 0) turns into
  // NaN.
  const double factor = size == 0.0 && x[0] > 0.0 ? 1.0 / x[0] : angle / size;
  out[0] = std::log(std::sqrt(x[0] * x[0] + vector_squared));
  for (std::size_t k = 1; k < 8; ++k) {
    out[k] = factor * x[k];
  }
}

// Runs `function` over the items; an output may be the memory of its own
// input, so each item is read in full before anything is written.
template <void (*Function)(const Components&, Components&) noexcept>
void function_items(std::size_t count, ItemsIn octonions, ItemsOut results) {
  for (std::size_t i = 0; i < count; ++i) {
    const double* const item = octonions.item(i);
    Components x;
    for (std::size_t k = 0; k < 8; ++k) {
      x[k] = octonions.component(item, k);
    }
    Components y;
    Function(x, y);
    double* const target = results.item(i);
    for (std::size_t k = 0; k < 8; ++k) {
      results.component(target, k) = y[k];
    }
  }
}

const UnaryFunction kUnaryFunctions[] = {
    {"octonion_conjugate", "Octonion conjugate: x0 kept, x1 .. x7 negated (sign bit flipped).",
     function_items<conjugate>},
    {"octonion_inverse",
     "Octonion inverse conj(x) / |x|²: |x|² = x0*x0 + ... + x7*x7 left to right from -0.0, then "
     "each component of the conjugate divided by it (zero: infinities and NaNs).",
     function_items<inverse>},
    {"octonion_exp",
     "Octonion exponential e^x0 (cos |v| + v sin |v| / |v|), v = x1 .. x7: |v| = sqrt(x1*x1 + "
     "... + x7*x7, left to right from -0.0); out0 = e^x0 * cos |v|; outk = (e^x0 * (sin |v| / "
     "|v|)) * xk, with sin |v| / |v| taken as 1 when |v| == 0.",
     function_items<exponential>},
    {"octonion_log",
     "Octonion logarithm log |x| + v atan2(|v|, x0) / |v|: |v|² as for octonion_exp, |v| its "
     "square root; out0 = log(sqrt(x0*x0 + |v|²)); outk = (atan2(|v|, x0) / |v|) * xk, the "
     "factor 1 / x0 when v == 0 and x0 > 0 (a negative real, whose angle π has no direction, "
     "gives NaN).",
     function_items<logarithm>},
};

}  // namespace

std::span<const UnaryFunction> unary_functions() noexcept {
  return kUnaryFunctions;
}

}  // namespace vyr::octonion

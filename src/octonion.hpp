// Octonion algebra on plain doubles.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "core/containers.hpp"
#include "core/strided.hpp"

namespace vyr::octonion {

using Octonion = std::array<double, 8>;

// The octonion product a·b, evaluated term by term from the basis product
// table, skipping zero coefficients.  Faults when it reads past the end of
// either input.
Octonion _mul(std::span<const double> a, std::span<const double> b);

// Euclidean norm: sqrt of the left-to-right sum of squares, starting at -0.0.
double norm(std::span<const double> v) noexcept;

// Pairwise products of the first min(len) pairs, on the worker pool.
Rows mul_n(const Batch& a_batch, const Batch& b_batch);

// The norm of every vector of the batch, on the worker pool.
std::vector<double> norm_n(const Batch& batch);

// Item loops: products[i] = a[i]·b[i] for items of eight components, and
// norms[i] = norm(v[i]) for items of `length` components.
void mul_items(std::size_t count, ItemsIn a, ItemsIn b, ItemsOut products) noexcept;
void norm_items(std::size_t count, ItemsIn v, std::size_t length, ItemsOut norms);

}  // namespace vyr::octonion

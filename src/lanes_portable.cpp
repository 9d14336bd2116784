// The lane kernels with one lane, in plain C++: for processors without the
// vector instructions of the other builds, and as the form of the lane code
// that every processor can run.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "src/lane_kernels.hpp"

namespace vyr::lanes {

namespace {

struct Portable {
  using V = double;
  static constexpr std::size_t W = 1;
  static constexpr unsigned kBlock = 4;

  static V zero() { return 0.0; }
  static V set1(double x) { return x; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V sqrt(V a) { return std::sqrt(a); }
  static V negate_if(V v, bool negate) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(v) ^
                                 (static_cast<std::uint64_t>(negate) << 63));
  }
  static V loadu(const double* p) { return *p; }
  static void storeu(double* p, V v) { *p = v; }
  static V sum(V a, V b) { return add::sum(a, b); }
  static bool any_nonzero(V v) { return !(v == 0.0); }
  static unsigned nonzero_bits(V v) { return std::bit_cast<std::uint64_t>(v) != 0; }
  static unsigned nan(V v) { return v != v; }
  [[gnu::always_inline]] static V load_columns(const double* const* rows, std::size_t first,
                                               std::size_t n, V* columns,
                                               std::uint64_t* live = nullptr) {
    std::uint64_t spread = 0;
    for (std::size_t c = 0; c < n; ++c) {
      columns[c] = rows[0][first + c];
      spread |= std::bit_cast<std::uint64_t>(columns[c] - columns[c]);
      if (live != nullptr && !(columns[c] == 0.0)) {
        live[c / 64] |= std::uint64_t{1} << (c % 64);
      }
    }
    return std::bit_cast<double>(spread);
  }
  [[gnu::always_inline]] static void store_columns(const V* columns, double* const* rows,
                                                   std::size_t first, std::size_t n,
                                                   unsigned lanes) {
    if ((lanes & 1) != 0) {
      for (std::size_t c = 0; c < n; ++c) {
        rows[0][first + c] = columns[c];
      }
    }
  }
  static void to_array(V v, double* out) { out[0] = v; }
};

}  // namespace

constinit const Kernels kPortableKernels = kernels_of<Portable>(Path::kPortable, "portable");

}  // namespace vyr::lanes

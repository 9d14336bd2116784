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
  static V spread(V spread_so_far, V v) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(spread_so_far) |
                                 std::bit_cast<std::uint64_t>(v - v));
  }
  // With one lane a group is one item (loaded as a repeated one), a transpose
  // leaves it as it is, and no chunk of components is partial.
  static void transpose(V*) {}
  static V load_first(const double* p, std::size_t) { return *p; }
  static void store_first(double* p, std::size_t, V v) { *p = v; }
  static std::uint64_t nonzero_components(const V* r) { return !(r[0] == 0.0); }
  static void to_array(V v, double* out) { out[0] = v; }
};

}  // namespace

constinit const Kernels kPortableKernels = kernels_of<Portable>(Path::kPortable, "portable");

}  // namespace vyr::lanes

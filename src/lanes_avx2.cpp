// The lane kernels on 256-bit vectors: four items per instruction.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// What the lane kernels include, before the instructions are enabled.
#include "src/lane_prelude.hpp"

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx2")

#include "src/lane_kernels.hpp"

namespace vyr::lanes {

namespace {

struct Avx2 {
  using V = __m256d;
  static constexpr std::size_t W = 4;
  static constexpr unsigned kBlock = 8;

  static V zero() { return _mm256_setzero_pd(); }
  static V set1(double x) { return _mm256_set1_pd(x); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V sqrt(V a) { return _mm256_sqrt_pd(a); }
  static V bits(std::uint64_t pattern) {
    return _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(pattern)));
  }
  static V negate_if(V v, bool negate) {
    return _mm256_xor_pd(v, bits(static_cast<std::uint64_t>(negate) << 63));
  }
  static V loadu(const double* p) { return _mm256_loadu_pd(p); }
  static void storeu(double* p, V v) { _mm256_storeu_pd(p, v); }
  // add::sum: where both operands are NaN, a's NaN made quiet.
  static V sum(V a, V b) {
    const V both_nan =
        _mm256_and_pd(_mm256_cmp_pd(a, a, _CMP_UNORD_Q), _mm256_cmp_pd(b, b, _CMP_UNORD_Q));
    const V quiet_a = _mm256_or_pd(a, bits(std::uint64_t{1} << 51));
    return _mm256_blendv_pd(_mm256_add_pd(a, b), quiet_a, both_nan);
  }
  static bool any_nonzero(V v) {
    return _mm256_movemask_pd(_mm256_cmp_pd(v, zero(), _CMP_NEQ_UQ)) != 0;
  }
  static unsigned nonzero_bits(V v) {
    const __m256i zero_lanes = _mm256_cmpeq_epi64(_mm256_castpd_si256(v), _mm256_setzero_si256());
    return static_cast<unsigned>(~_mm256_movemask_pd(_mm256_castsi256_pd(zero_lanes)) & 0xF);
  }
  static unsigned nan(V v) {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(v, v, _CMP_UNORD_Q)));
  }
  static void to_array(V v, double* out) { _mm256_storeu_pd(out, v); }

  // The lanes below m, as a mask for the masked loads and stores.
  static __m256i first(std::size_t m) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(m)),
                              _mm256_setr_epi64x(0, 1, 2, 3));
  }
  [[gnu::always_inline]] static void transpose(V* r) {
    const V t0 = _mm256_unpacklo_pd(r[0], r[1]);
    const V t1 = _mm256_unpackhi_pd(r[0], r[1]);
    const V t2 = _mm256_unpacklo_pd(r[2], r[3]);
    const V t3 = _mm256_unpackhi_pd(r[2], r[3]);
    r[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    r[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    r[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    r[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
  }
  static V spread(V spread_so_far, V v) { return _mm256_or_pd(spread_so_far, sub(v, v)); }
  static V load_first(const double* p, std::size_t m) { return _mm256_maskload_pd(p, first(m)); }
  static void store_first(double* p, std::size_t m, V v) { _mm256_maskstore_pd(p, first(m), v); }
  // Bit c set when component c of some row r[lane] is not zero.
  [[gnu::always_inline]] static std::uint64_t nonzero_components(const V* r) {
    int nonzero = 0;
    for (std::size_t lane = 0; lane < W; ++lane) {
      nonzero |= _mm256_movemask_pd(_mm256_cmp_pd(r[lane], zero(), _CMP_NEQ_UQ));
    }
    return static_cast<std::uint64_t>(nonzero);
  }
};

}  // namespace

constinit const Kernels kAvx2Kernels = kernels_of<Avx2>(Path::kAvx2, "avx2");

}  // namespace vyr::lanes

#pragma GCC pop_options

#endif

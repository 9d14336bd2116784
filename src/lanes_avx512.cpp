// The lane kernels on 512-bit vectors: eight items per instruction.

// GCC 12's AVX-512 shuffles start from a deliberately undefined vector, which
// its own flow analysis then reports as used uninitialized.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// What the lane kernels include, before the instructions are enabled.
#include "src/lane_prelude.hpp"

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")

#include "src/lane_kernels.hpp"

namespace vyr::lanes {

namespace {

struct Avx512 {
  using V = __m512d;
  static constexpr std::size_t W = 8;
  static constexpr unsigned kBlock = 8;

  static V zero() { return _mm512_setzero_pd(); }
  static V set1(double x) { return _mm512_set1_pd(x); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V sqrt(V a) { return _mm512_sqrt_pd(a); }
  static V bits(std::uint64_t pattern) {
    return _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(pattern)));
  }
  static V negate_if(V v, bool negate) {
    return _mm512_xor_pd(v, bits(static_cast<std::uint64_t>(negate) << 63));
  }
  static V loadu(const double* p) { return _mm512_loadu_pd(p); }
  static void storeu(double* p, V v) { _mm512_storeu_pd(p, v); }
  // add::sum: where both operands are NaN, a's NaN made quiet.
  static V sum(V a, V b) {
    const __mmask8 both_nan =
        _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q) & _mm512_cmp_pd_mask(b, b, _CMP_UNORD_Q);
    const V quiet_a = _mm512_or_pd(a, bits(std::uint64_t{1} << 51));
    return _mm512_mask_blend_pd(both_nan, _mm512_add_pd(a, b), quiet_a);
  }
  static bool any_nonzero(V v) { return _mm512_cmp_pd_mask(v, zero(), _CMP_NEQ_UQ) != 0; }
  static unsigned nonzero_bits(V v) {
    const __m512i bits = _mm512_castpd_si512(v);
    return _mm512_test_epi64_mask(bits, bits);
  }
  static unsigned nan(V v) { return _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q); }
  static void to_array(V v, double* out) { _mm512_storeu_pd(out, v); }

  static __mmask8 first(std::size_t m) { return static_cast<__mmask8>((1u << m) - 1); }
  // An 8 × 8 transpose in three rounds of shuffles.
  [[gnu::always_inline]] static void transpose(V* r) {
    const __m512i low = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i high = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    V t[8];
    for (int i = 0; i < 8; i += 2) {
      t[i] = _mm512_unpacklo_pd(r[i], r[i + 1]);
      t[i + 1] = _mm512_unpackhi_pd(r[i], r[i + 1]);
    }
    V u[8];
    for (int i = 0; i < 8; i += 4) {
      u[i] = _mm512_permutex2var_pd(t[i], low, t[i + 2]);
      u[i + 1] = _mm512_permutex2var_pd(t[i + 1], low, t[i + 3]);
      u[i + 2] = _mm512_permutex2var_pd(t[i], high, t[i + 2]);
      u[i + 3] = _mm512_permutex2var_pd(t[i + 1], high, t[i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
      r[i] = _mm512_shuffle_f64x2(u[i], u[i + 4], 0x44);
      r[i + 4] = _mm512_shuffle_f64x2(u[i], u[i + 4], 0xEE);
    }
  }
  static V spread(V spread_so_far, V v) { return _mm512_or_pd(spread_so_far, sub(v, v)); }
  static V load_first(const double* p, std::size_t m) { return _mm512_maskz_loadu_pd(first(m), p); }
  static void store_first(double* p, std::size_t m, V v) { _mm512_mask_storeu_pd(p, first(m), v); }
  // Bit c set when component c of some row r[lane] is not zero.
  [[gnu::always_inline]] static std::uint64_t nonzero_components(const V* r) {
    __mmask8 nonzero = 0;
    for (std::size_t lane = 0; lane < W; ++lane) {
      nonzero |= _mm512_cmp_pd_mask(r[lane], zero(), _CMP_NEQ_UQ);
    }
    return nonzero;
  }
};

}  // namespace

constinit const Kernels kAvx512Kernels = kernels_of<Avx512>(Path::kAvx512, "avx512");

}  // namespace vyr::lanes

#pragma GCC pop_options

#endif

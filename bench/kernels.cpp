// Times the kernels' item loops on ready contiguous arrays, with no
// interpreter anywhere: on the calling thread, and split over the worker pool
// the way the array module splits its calls.  The array module's times over
// these show what its front-end (checks, conversion, allocation, dispatch)
// costs.  Beside them it measures the machine's limits: the most multiplies
// and adds that its cores can do (one multiply and one add per term, as the
// products do, in the widest vectors the processor has), and the speed of a
// plain copy of each case's working set.  Prints one JSON object:
//   {"kernel path": ..., "machine": {...}, "cases": {case -> {...}}}
// where each case holds its median and best seconds on one thread and on the
// pool, its terms (multiply-add pairs; an add counts one), the bytes it reads
// and writes, and the seconds a copy of as many bytes takes.
//
//   vyr_kernel_bench [--quick] [--only TEXT]    (only the cases whose name holds TEXT)
//
// The kernels run on the instruction set that the library picks for this
// processor, or the one VYR_KERNEL_PATH names; the output says which.
#include <algorithm>
#include <bit>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "parallel/engine.hpp"
#include "parallel/testing.hpp"
#include "src/add.hpp"
#include "src/clifford.hpp"
#include "src/lanes.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"
#include "src/spectral.hpp"

namespace {

using Loop = std::function<void(std::size_t begin, std::size_t end)>;

struct Timing {
  double median;
  double best;
};

// The median and the best of 15 samples, each a loop of calls lasting at
// least min_total / 5 seconds.  On a machine that other jobs share, the best
// sample is the one that had the cores most to itself.
Timing seconds_per_call(const std::function<void()>& call, double min_total) {
  using clock = std::chrono::steady_clock;
  const double sample_total = min_total / 5;
  std::size_t number = 1;
  for (;;) {
    const auto start = clock::now();
    for (std::size_t i = 0; i < number; ++i) {
      call();
    }
    const double total = std::chrono::duration<double>(clock::now() - start).count();
    if (total >= sample_total) {
      break;
    }
    number = std::max(
        number * 2, static_cast<std::size_t>(number * sample_total * 1.2 / std::max(total, 1e-9)));
  }
  std::vector<double> samples;
  for (int sample = 0; sample < 15; ++sample) {
    const auto start = clock::now();
    for (std::size_t i = 0; i < number; ++i) {
      call();
    }
    samples.push_back(std::chrono::duration<double>(clock::now() - start).count() / number);
  }
  std::sort(samples.begin(), samples.end());
  return {samples[7], samples[0]};
}

struct Case {
  std::string name;
  std::size_t items;
  Loop loop;       // runs items [begin, end)
  double terms;    // multiply-add pairs (a lone add or multiply counts one)
  double traffic;  // bytes read and written
};

std::vector<double> random_doubles(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> values(n);
  for (double& v : values) {
    v = uniform(rng);
  }
  return values;
}

char* bytes(std::vector<double>& v) {
  return reinterpret_cast<char*>(v.data());
}

constexpr std::ptrdiff_t kDouble = sizeof(double);

// Holds every array of the cases for the life of the program, in place.
std::deque<std::vector<double>> g_arrays;

std::vector<double>& keep(std::vector<double> values) {
  g_arrays.push_back(std::move(values));
  return g_arrays.back();
}

Case add_case(std::size_t n) {
  auto& a = keep(random_doubles(n, 1));
  auto& b = keep(random_doubles(n, 2));
  auto& out = keep(std::vector<double>(n));
  return {"add " + std::to_string(n), n,
          [&a, &b, &out](std::size_t begin, std::size_t end) {
            vyr::add::add_items(end - begin, {bytes(a) + begin * kDouble, kDouble},
                                {bytes(b) + begin * kDouble, kDouble},
                                {bytes(out) + begin * kDouble, kDouble});
          },
          double(n), 3.0 * n * kDouble};
}

Case octonion_mul_case(std::size_t n) {
  auto& a = keep(random_doubles(n * 8, 3));
  auto& b = keep(random_doubles(n * 8, 4));
  auto& out = keep(std::vector<double>(n * 8));
  return {"octonion_mul " + std::to_string(n), n,
          [&a, &b, &out](std::size_t begin, std::size_t end) {
            const std::ptrdiff_t step = 8 * kDouble;
            vyr::octonion::mul_items(end - begin, {bytes(a) + begin * step, step},
                                     {bytes(b) + begin * step, step},
                                     {bytes(out) + begin * step, step});
          },
          64.0 * n, 24.0 * n * kDouble};
}

template <auto ItemLoop>
Case reduction_case(const char* name, std::size_t n, std::size_t length) {
  auto& a = keep(random_doubles(n * length, 5));
  auto& out = keep(std::vector<double>(n));
  return {std::string(name) + " " + std::to_string(n), n,
          [&a, &out, length](std::size_t begin, std::size_t end) {
            const auto step = static_cast<std::ptrdiff_t>(length) * kDouble;
            ItemLoop(end - begin, vyr::ItemsIn{bytes(a) + begin * step, step}, length,
                     vyr::ItemsOut{bytes(out) + begin * kDouble, kDouble});
          },
          double(n * length), double((n * length + n) * kDouble)};
}

Case geometric_case(const std::string& name, std::size_t n, std::vector<std::int8_t> signature,
                    bool one_left) {
  const std::size_t dim = std::size_t{1} << signature.size();
  auto& a = keep(random_doubles((one_left ? 1 : n) * dim, 6));
  auto& b = keep(random_doubles(n * dim, 7));
  auto& out = keep(std::vector<double>(n * dim));
  auto kept_signature = std::make_shared<std::vector<std::int8_t>>(std::move(signature));
  auto metric = std::make_shared<vyr::clifford::Metric>(vyr::clifford::describe(*kept_signature));
  return {
      name + " " + std::to_string(n), n,
      [&a, &b, &out, dim, one_left, kept_signature, metric](std::size_t begin, std::size_t end) {
        const auto step = static_cast<std::ptrdiff_t>(dim) * kDouble;
        const std::ptrdiff_t a_step = one_left ? 0 : step;
        vyr::clifford::product_items(end - begin, {bytes(a) + begin * a_step, a_step},
                                     {bytes(b) + begin * step, step}, *metric,
                                     {bytes(out) + begin * step, step});
      },
      double(n) * dim * dim, double(((one_left ? 1 : n) + 2 * n) * dim * kDouble)};
}

// Geometric products of n pairs laid out component-major (structure of
// arrays: component c of item i at c * n + i, as an array of shape (2^n, N)
// hands its items over along axis 1), the output too.  `copied`: through
// the item-major kernel, every chunk of operands copied into adjacent
// components first and the products copied back, as the item loops did
// before they read such operands in place.
Case component_major_case(const std::string& name, std::size_t n,
                          std::vector<std::int8_t> signature, bool copied) {
  const std::size_t dim = std::size_t{1} << signature.size();
  auto& a = keep(random_doubles(n * dim, 6));
  auto& b = keep(random_doubles(n * dim, 7));
  auto& out = keep(std::vector<double>(n * dim));
  auto kept_signature = std::make_shared<std::vector<std::int8_t>>(std::move(signature));
  auto metric = std::make_shared<vyr::clifford::Metric>(vyr::clifford::describe(*kept_signature));
  return {
      name + (copied ? " component-major copied " : " component-major ") + std::to_string(n), n,
      [&a, &b, &out, n, dim, copied, kept_signature, metric](std::size_t begin, std::size_t end) {
        const auto apart = static_cast<std::ptrdiff_t>(n * kDouble);
        const auto offset = static_cast<std::ptrdiff_t>(begin * kDouble);
        const vyr::ItemsIn left{bytes(a) + offset, kDouble, apart};
        const vyr::ItemsIn right{bytes(b) + offset, kDouble, apart};
        const vyr::ItemsOut products{bytes(out) + offset, kDouble, apart};
        if (!copied) {
          vyr::clifford::product_items(end - begin, left, right, *metric, products);
          return;
        }
        const vyr::lanes::Kernels& kernels = vyr::lanes::kernels();
        vyr::over_adjacent_items<2>(
            end - begin, {left, right}, dim, products, dim,
            [&](std::size_t count, const vyr::ItemStarts* starts, vyr::ItemsOut adjacent) {
              kernels.clifford(count, starts[0], starts[1], *metric, adjacent);
            });
      },
      double(n) * dim * dim, double(3 * n * dim * kDouble)};
}

// Rotor sandwiches r v r~ of n vectors (three components of eight) with one
// rotor (four of eight).
Case sandwich_case(std::size_t n) {
  auto& rotor = keep(random_doubles(8, 10));
  auto& vectors = keep(random_doubles(n * 8, 11));
  auto& out = keep(std::vector<double>(n * 8));
  for (std::size_t k = 0; k < 8; ++k) {
    rotor[k] = std::popcount(k) % 2 == 0 ? rotor[k] : 0.0;
  }
  for (std::size_t i = 0; i < n * 8; ++i) {
    vectors[i] = std::popcount(i % 8) == 1 ? vectors[i] : 0.0;
  }
  return {"sandwich Cl(3,0) " + std::to_string(n), n,
          [&rotor, &vectors, &out](std::size_t begin, std::size_t end) {
            const std::ptrdiff_t step = 8 * kDouble;
            static const std::int8_t signature[] = {1, 1, 1};
            static const vyr::clifford::Metric metric = vyr::clifford::describe(signature);
            vyr::clifford::sandwich_items(end - begin, {bytes(rotor), 0},
                                          {bytes(vectors) + begin * step, step}, metric,
                                          {bytes(out) + begin * step, step});
          },
          128.0 * n, 16.0 * n * kDouble};
}

Case flow_step_case(std::size_t n) {
  auto& points = keep(random_doubles(n * 2, 8));
  auto& out = keep(std::vector<double>(n * 2));
  return {"spectral_flow_step " + std::to_string(n), n,
          [&points, &out](std::size_t begin, std::size_t end) {
            const std::ptrdiff_t step = 2 * kDouble;
            vyr::spectral::step_items(end - begin, {bytes(points) + begin * step, step},
                                      {bytes(out) + begin * step, step});
          },
          double(n), 4.0 * n * kDouble};
}

Case flow_case(std::size_t n, std::uint64_t n_steps) {
  auto& starts = keep(random_doubles(n * 2, 9));
  auto& out = keep(std::vector<double>(n * (n_steps + 1) * 2));
  return {"spectral_flow " + std::to_string(n) + "x" + std::to_string(n_steps), n,
          [&starts, &out, n_steps](std::size_t begin, std::size_t end) {
            const std::ptrdiff_t step = 2 * kDouble;
            const auto trajectory = static_cast<std::ptrdiff_t>(n_steps + 1) * step;
            vyr::spectral::flow_items(end - begin, {bytes(starts) + begin * step, step}, n_steps,
                                      {{bytes(out) + begin * trajectory, trajectory}, step});
          },
          double(n) * n_steps, double(n * (n_steps + 2) * 2 * kDouble)};
}

// ------------------------------------------------------------------ the machine

// Multiply-add pairs in independent vector chains: `rounds` times 16 vector
// terms, no fused multiply-add, so that the multiplies and the adds each keep
// their own units busy, as in the products.  One copy per vector width (a
// generic version would lose the functions' instruction sets in its lambdas).
#define VYR_PEAK_CHAINS(V, set1, mul, add)               \
  V y[8];                                                \
  V sum[8];                                              \
  for (int i = 0; i < 8; ++i) {                          \
    y[i] = set1(1e-300 * (i + 1));                       \
    sum[i] = set1(0.0);                                  \
  }                                                      \
  const V x = set1(seed);                                \
  for (std::size_t round = 0; round < rounds; ++round) { \
    for (int i = 0; i < 8; ++i) {                        \
      sum[i] = add(sum[i], mul(y[i], x));                \
    }                                                    \
    for (int i = 0; i < 8; ++i) {                        \
      sum[i] = add(sum[i], mul(y[(i + 1) & 7], x));      \
    }                                                    \
  }                                                      \
  V total = sum[0];                                      \
  for (int i = 1; i < 8; ++i) {                          \
    total = add(total, sum[i]);                          \
  }                                                      \
  double lanes[sizeof(V) / sizeof(double)];              \
  std::memcpy(lanes, &total, sizeof lanes);              \
  return lanes[0];

#if defined(__x86_64__)
[[gnu::target("avx512f"), gnu::noinline]] double peak_avx512(std::size_t rounds, double seed) {
  VYR_PEAK_CHAINS(__m512d, _mm512_set1_pd, _mm512_mul_pd, _mm512_add_pd)
}

[[gnu::target("avx2"), gnu::noinline]] double peak_avx2(std::size_t rounds, double seed) {
  VYR_PEAK_CHAINS(__m256d, _mm256_set1_pd, _mm256_mul_pd, _mm256_add_pd)
}
#endif

double scalar_set1(double x) {
  return x;
}
double scalar_mul(double a, double b) {
  return a * b;
}
double scalar_add(double a, double b) {
  return a + b;
}

[[gnu::noinline]] double peak_scalar(std::size_t rounds, double seed) {
  VYR_PEAK_CHAINS(double, scalar_set1, scalar_mul, scalar_add)
}

#undef VYR_PEAK_CHAINS

// The widest vectors of this processor: the peak, and doubles per vector.
struct Peak {
  const char* vectors;
  std::size_t lanes;
  double (*run)(std::size_t rounds, double seed);
};

Peak widest_peak() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f")) {
    return {"avx512", 8, peak_avx512};
  }
  if (__builtin_cpu_supports("avx2")) {
    return {"avx2", 4, peak_avx2};
  }
#endif
  return {"scalar", 1, peak_scalar};
}

// Best terms per second of the peak loop on one thread and over the pool (in
// 64 pieces, which the workers share out).
std::pair<double, double> peak_terms_per_second(const Peak& peak) {
  constexpr std::size_t kRounds = std::size_t{1} << 22;
  constexpr std::size_t kPieces = 64;
  const double terms = double(kRounds) * 16 * peak.lanes;
  double sink = 0.0;
  const Timing serial = seconds_per_call([&] { sink += peak.run(kRounds, 1.0); }, 0.2);
  const Timing pool = seconds_per_call(
      [&] {
        auto leaf = [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) {
            sink += peak.run(kRounds / kPieces, 1.0 + double(i));
          }
        };
        vyr::parallel::for_each_piece(kPieces, leaf);
      },
      0.2);
  if (sink == 42.0) {
    std::printf(" ");
  }
  return {terms / serial.best, terms / pool.best};
}

// A plain copy of `bytes` / 2 bytes into as many: the same traffic as a case
// that reads and writes `bytes`, on one thread and over the pool.
std::pair<double, double> copy_seconds(double traffic) {
  const auto n = static_cast<std::size_t>(traffic / 2 / kDouble);
  std::vector<double> from(n, 1.0);
  std::vector<double> to(n, 0.0);
  auto copy = [&](std::size_t begin, std::size_t end) {
    std::memcpy(to.data() + begin, from.data() + begin, (end - begin) * kDouble);
  };
  const Timing serial = seconds_per_call([&] { copy(0, n); }, 0.1);
  const Timing pool = seconds_per_call([&] { vyr::parallel::for_each_piece(n, copy); }, 0.1);
  return {serial.best, pool.best};
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  const char* only = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    }
  }
  const double min_total = quick ? 0.05 : 0.2;
  std::vector<Case> cases;
  for (std::size_t n : {std::size_t{1000}, std::size_t{100000}, std::size_t{1000000}}) {
    cases.push_back(add_case(n));
  }
  cases.push_back(octonion_mul_case(100000));
  cases.push_back(reduction_case<vyr::octonion::norm_items>("octonion_norm", 100000, 8));
  cases.push_back(reduction_case<vyr::lattice::norm_squared_items>("norms_squared", 100000, 8));
  cases.push_back(geometric_case("geometric_product Cl(3,0)", 10000, {1, 1, 1}, false));
  cases.push_back(geometric_case("geometric_product Cl(4,1)", 10000, {1, 1, 1, 1, -1}, false));
  cases.push_back(geometric_case("geometric_product [1,1,1,0]", 10000, {1, 1, 1, 0}, false));
  cases.push_back(
      geometric_case("geometric_product Cl(4,4)", 10000, {1, -1, 1, -1, 1, -1, 1, -1}, false));
  for (const auto& [name, signature] :
       {std::pair<const char*, std::vector<std::int8_t>>{"geometric_product Cl(3,0)", {1, 1, 1}},
        {"geometric_product [1,1,1,0]", {1, 1, 1, 0}},
        {"geometric_product Cl(4,1)", {1, 1, 1, 1, -1}}}) {
    cases.push_back(geometric_case(name, 100000, signature, false));
    cases.push_back(component_major_case(name, 100000, signature, false));
    cases.push_back(component_major_case(name, 100000, signature, true));
  }
  cases.push_back(geometric_case("rotor Cl(3,0)", 10000, {1, 1, 1}, true));
  cases.push_back(sandwich_case(10000));
  cases.push_back(flow_step_case(100000));
  cases.push_back(flow_case(1000, 1000));

  // Start the pool before any timing.
  const std::size_t workers = vyr::parallel::pool_size();
  const Peak peak = widest_peak();
  const auto [peak_serial, peak_pool] = peak_terms_per_second(peak);
  std::printf(
      "{\"kernel path\": \"%s\", \"machine\": {\"workers\": %zu, \"peak vectors\": \"%s\", "
      "\"peak terms/s one thread\": %.6e, \"peak terms/s pool\": %.6e}, \"cases\": {",
      vyr::lanes::kernels().name, workers, peak.vectors, peak_serial, peak_pool);
  const char* separator = "";
  for (const Case& c : cases) {
    if (only != nullptr && c.name.find(only) == std::string::npos) {
      continue;
    }
    const Timing serial = seconds_per_call([&c] { c.loop(0, c.items); }, min_total);
    const Timing pool = seconds_per_call(
        [&c] {
          auto leaf = [&c](std::size_t begin, std::size_t end) { c.loop(begin, end); };
          vyr::parallel::for_each_piece(c.items, leaf);
        },
        min_total);
    const auto [copy_serial, copy_pool] = copy_seconds(c.traffic);
    std::printf(
        "%s\"%s\": {\"serial\": %.6e, \"pool\": %.6e, \"serial best\": %.6e, "
        "\"pool best\": %.6e, \"terms\": %.6e, \"bytes\": %.6e, \"copy serial\": %.6e, "
        "\"copy pool\": %.6e}",
        separator, c.name.c_str(), serial.median, pool.median, serial.best, pool.best, c.terms,
        c.traffic, copy_serial, copy_pool);
    separator = ", ";
    std::fflush(stdout);
  }
  std::printf("}}\n");
  return 0;
}

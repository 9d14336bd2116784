// Times the kernels' item loops on ready contiguous arrays, with no
// interpreter anywhere: on the calling thread, and split over the worker pool
// the way the array module splits its calls.  The array module's times over
// these show what its front-end (checks, conversion, allocation, dispatch)
// costs.  Prints one JSON object: case -> {"serial": s, "pool": s}.
//
//   vyr_kernel_bench [--quick] [--only TEXT]    (only the cases whose name holds TEXT)
//
// The kernels run on the instruction set that the library picks for this
// processor, or the one VYR_KERNEL_PATH names; the output says which.
#include <algorithm>
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
#include <vector>

#include "parallel/engine.hpp"
#include "src/add.hpp"
#include "src/clifford.hpp"
#include "src/lanes.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"
#include "src/spectral.hpp"

namespace {

using Loop = std::function<void(std::size_t begin, std::size_t end)>;

double seconds_per_call(const std::function<void()>& call, double min_total) {
  using clock = std::chrono::steady_clock;
  std::size_t number = 1;
  for (;;) {
    const auto start = clock::now();
    for (std::size_t i = 0; i < number; ++i) {
      call();
    }
    const double total = std::chrono::duration<double>(clock::now() - start).count();
    if (total >= min_total) {
      break;
    }
    number = std::max(number * 2,
                      static_cast<std::size_t>(number * min_total * 1.2 / std::max(total, 1e-9)));
  }
  std::vector<double> samples;
  for (int sample = 0; sample < 5; ++sample) {
    const auto start = clock::now();
    for (std::size_t i = 0; i < number; ++i) {
      call();
    }
    samples.push_back(std::chrono::duration<double>(clock::now() - start).count() / number);
  }
  std::sort(samples.begin(), samples.end());
  return samples[2];
}

struct Case {
  std::string name;
  std::size_t items;
  Loop loop;  // runs items [begin, end)
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
  return {"add " + std::to_string(n), n, [&a, &b, &out](std::size_t begin, std::size_t end) {
            vyr::add::add_items(end - begin, {bytes(a) + begin * kDouble, kDouble},
                                {bytes(b) + begin * kDouble, kDouble},
                                {bytes(out) + begin * kDouble, kDouble});
          }};
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
          }};
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
          }};
}

Case geometric_case(const std::string& name, std::size_t n, std::vector<std::int8_t> signature,
                    bool one_left) {
  const std::size_t dim = std::size_t{1} << signature.size();
  auto& a = keep(random_doubles((one_left ? 1 : n) * dim, 6));
  auto& b = keep(random_doubles(n * dim, 7));
  auto& out = keep(std::vector<double>(n * dim));
  auto kept_signature = std::make_shared<std::vector<std::int8_t>>(std::move(signature));
  return {name + " " + std::to_string(n), n,
          [&a, &b, &out, dim, one_left, kept_signature](std::size_t begin, std::size_t end) {
            const auto step = static_cast<std::ptrdiff_t>(dim) * kDouble;
            const std::ptrdiff_t a_step = one_left ? 0 : step;
            vyr::clifford::product_items(end - begin, {bytes(a) + begin * a_step, a_step},
                                         {bytes(b) + begin * step, step}, *kept_signature,
                                         {bytes(out) + begin * step, step});
          }};
}

Case flow_step_case(std::size_t n) {
  auto& points = keep(random_doubles(n * 2, 8));
  auto& out = keep(std::vector<double>(n * 2));
  return {"spectral_flow_step " + std::to_string(n), n,
          [&points, &out](std::size_t begin, std::size_t end) {
            const std::ptrdiff_t step = 2 * kDouble;
            vyr::spectral::step_items(end - begin, {bytes(points) + begin * step, step},
                                      {bytes(out) + begin * step, step});
          }};
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
          }};
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
  cases.push_back(geometric_case("geometric_product Cl(4,4)", 10000, {1, -1, 1, -1, 1, -1, 1, -1},
                                 false));
  cases.push_back(geometric_case("rotor Cl(3,0)", 10000, {1, 1, 1}, true));
  cases.push_back(flow_step_case(100000));
  cases.push_back(flow_case(1000, 1000));

  // Start the pool before any timing.
  vyr::parallel::pool_size();
  std::printf("{\"kernel path\": \"%s\"", vyr::lanes::kernels().name);
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    if (only != nullptr && c.name.find(only) == std::string::npos) {
      continue;
    }
    const double serial = seconds_per_call([&c] { c.loop(0, c.items); }, min_total);
    const double pool = seconds_per_call(
        [&c] {
          auto leaf = [&c](std::size_t begin, std::size_t end) { c.loop(begin, end); };
          vyr::parallel::for_each_piece(c.items, leaf);
        },
        min_total);
    std::printf(", \"%s\": {\"serial\": %.6e, \"pool\": %.6e}", c.name.c_str(), serial, pool);
    std::fflush(stdout);
  }
  std::printf("}\n");
  return 0;
}

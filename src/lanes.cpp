#include "src/lanes.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "parallel/engine.hpp"
#include "src/add.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"

namespace vyr::lanes {

namespace {

// ------------------------------------------------------------ one item at a time

void add_scalar(std::size_t count, const double* a, std::size_t a_step, const double* b,
                std::size_t b_step, double* sums) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    sums[i] = add::sum(a[i * a_step], b[i * b_step]);
  }
}

void octonion_mul_scalar(std::size_t count, ItemStarts a, ItemStarts b,
                         ItemsOut products) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    const octonion::Octonion c = octonion::mul_complete(a.item(i), b.item(i));
    std::copy(c.begin(), c.end(), products.item(i));
  }
}

// Long items look for cancellation inside; many short ones between them.
template <double (*norm)(const double*, std::size_t, std::ptrdiff_t)>
void norms_scalar(std::size_t count, ItemStarts points, std::size_t length, ItemsOut norms) {
  std::size_t since_check = 0;
  for (std::size_t i = 0; i < count; ++i) {
    since_check += length + 1;
    if (since_check >= kComponentsBetweenChecks) {
      since_check = 0;
      parallel::check_cancellation();
    }
    *norms.item(i) = norm(points.item(i), length, sizeof(double));
  }
}

void clifford_scalar(std::size_t count, ItemStarts a, ItemStarts b, const clifford::Metric& metric,
                     ItemsOut products) {
  const std::size_t dimension = std::size_t{1} << metric.entries.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (parallel::cancel_requested()) {
      throw parallel::Cancelled();
    }
    clifford::product_into({a.item(i), dimension}, {b.item(i), dimension}, metric,
                           products.item(i));
  }
}

void sandwich_scalar(std::size_t count, ItemStarts r, ItemStarts x, const clifford::Metric& metric,
                     ItemsOut products) {
  sandwich_by_products(clifford_scalar, count, r, x, metric, products);
}

// ------------------------------------------------------------ the choice

bool processor_runs(Path path) noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (path) {
    case Path::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    case Path::kAvx2:
      return __builtin_cpu_supports("avx2");
    default:
      return true;
  }
#else
  return path == Path::kScalar || path == Path::kPortable;
#endif
}

const Kernels* built_for(Path path) noexcept {
  switch (path) {
    case Path::kScalar:
      return &kScalarKernels;
    case Path::kPortable:
      return &kPortableKernels;
#if defined(__x86_64__)
    case Path::kAvx2:
      return &kAvx2Kernels;
    case Path::kAvx512:
      return &kAvx512Kernels;
#endif
    default:
      return nullptr;
  }
}

const Kernels& widest() noexcept {
  for (const Path path : {Path::kAvx512, Path::kAvx2, Path::kPortable}) {
    if (const Kernels* candidate = kernels_for(path)) {
      return *candidate;
    }
  }
  return kScalarKernels;
}

// The kernels of this process and what kernel_path says of them.
struct Choice {
  const Kernels* kernels;
  char description[192];
};

// The kernels that VYR_KERNEL_PATH names, or the widest ones.  A name that
// cannot be followed (a path this processor or build cannot run, or no path
// at all) gets the widest kernels too, and the description says what was
// asked and why it did not run: the choice is made once, and the modules
// write nothing on their own.
Choice choose() noexcept {
  Choice choice{&widest(), {}};
  const char* const wanted = std::getenv("VYR_KERNEL_PATH");
  const char* reason = nullptr;
  if (wanted != nullptr && *wanted != '\0') {
    constexpr std::pair<Path, const char*> kNames[] = {
        {Path::kScalar, "scalar"},
        {Path::kPortable, "portable"},
        {Path::kAvx2, "avx2"},
        {Path::kAvx512, "avx512"},
    };
    reason = "names no kernel path (scalar, portable, avx2, avx512)";
    for (const auto& [path, name] : kNames) {
      if (std::strcmp(wanted, name) == 0) {
        if (const Kernels* named = kernels_for(path)) {
          choice.kernels = named;
          reason = nullptr;
        } else {
          reason = "cannot run on this processor";
        }
        break;
      }
    }
  }
  if (reason == nullptr) {
    std::snprintf(choice.description, sizeof choice.description, "%s", choice.kernels->name);
  } else {
    std::snprintf(choice.description, sizeof choice.description, "%s (VYR_KERNEL_PATH=%.40s %s)",
                  choice.kernels->name, wanted, reason);
  }
  return choice;
}

const Choice& chosen() noexcept {
  static const Choice choice = choose();
  return choice;
}

}  // namespace

constinit const Kernels kScalarKernels{
    Path::kScalar,
    "scalar",
    1,
    add_scalar,
    octonion_mul_scalar,
    norms_scalar<octonion::norm_cancellable>,
    norms_scalar<lattice::norm_squared_cancellable>,
    clifford_scalar,
    sandwich_scalar,
    nullptr,
    nullptr,
};

void sandwich_by_products(decltype(Kernels::clifford) clifford, std::size_t count, ItemStarts r,
                          ItemStarts x, const clifford::Metric& metric, ItemsOut products) {
  const std::size_t dimension = std::size_t{1} << metric.entries.size();
  const bool r_repeats = r.offsets == nullptr && r.item_step == 0;
  // About 256 KiB of products aside, and whole items.
  const std::size_t chunk = std::max<std::size_t>(1, (std::size_t{1} << 15) / dimension);
  const auto row = static_cast<std::ptrdiff_t>(dimension * sizeof(double));
  std::vector<double> left(std::min(chunk, count) * dimension);
  std::vector<double> reverses((r_repeats ? 1 : std::min(chunk, count)) * dimension);
  for (std::size_t first = 0; first < count; first += chunk) {
    const std::size_t n = std::min(chunk, count - first);
    clifford(n, r.from(first), x.from(first), metric,
             ItemsOut{reinterpret_cast<char*>(left.data()), row});
    for (std::size_t i = 0; i < (r_repeats ? 1 : n); ++i) {
      clifford::reverse_into(r.item(first + i), dimension, reverses.data() + i * dimension);
    }
    clifford(n, ItemStarts{reinterpret_cast<const char*>(left.data()), row},
             ItemStarts{reinterpret_cast<const char*>(reverses.data()), r_repeats ? 0 : row},
             metric, ItemsOut{reinterpret_cast<char*>(products.item(first)), products.item_step});
  }
}

const Kernels* kernels_for(Path path) noexcept {
  const Kernels* built = built_for(path);
  return built != nullptr && processor_runs(path) ? built : nullptr;
}

const Kernels& kernels() noexcept {
  return *chosen().kernels;
}

const char* kernels_description() noexcept {
  return chosen().description;
}

}  // namespace vyr::lanes

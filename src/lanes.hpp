// Kernels that compute several items at once, one item per vector lane, and
// the choice, made once per process, of the instruction set they run on.
//
// Each lane performs exactly the operations of the scalar routine for its
// item, in the same order, so the results are those of the scalar routines
// bit for bit.  Where a NaN takes part, the bits of a result would depend on
// which operand of an operation the NaN came in (the processor keeps the first
// operand's payload), and the lane kernels order some operands differently
// (a term subtracted rather than a negated term added).  So an item whose
// inputs are not all finite, or whose result holds a NaN, is computed again by
// the scalar routine alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/containers.hpp"
#include "core/strided.hpp"
#include "parallel/engine.hpp"
#include "src/clifford.hpp"

namespace vyr::lanes {

// The instruction sets, narrowest first.  kScalar hands every item to the
// scalar routine one at a time: the reference that the others reproduce.
// kPortable is the lane code with one lane, in plain C++.
enum class Path : int { kScalar, kPortable, kAvx2, kAvx512 };

// A kernel of norms of items of `length` components, one double out per item.
using NormsKernel = void (*)(std::size_t count, ItemStarts points, std::size_t length,
                             ItemsOut norms);

struct Kernels {
  Path path;
  const char* name;
  // Items computed by one instruction.
  std::size_t lanes;

  // sums[i] = add::sum(a[i * a_step], b[i * b_step]) for i < count, where a
  // step is 1 (adjacent elements) or 0 (one element for every i).  `sums` may
  // be `a` or `b` (with a step of 1).
  void (*add)(std::size_t count, const double* a, std::size_t a_step, const double* b,
              std::size_t b_step, double* sums) noexcept;
  // Octonion products of items of eight components.  An output item may be
  // the memory of its own input items, but no other item's.
  void (*octonion_mul)(std::size_t count, ItemStarts a, ItemStarts b, ItemsOut products) noexcept;
  // norms[i] = octonion::norm and lattice::norm_squared of the `length`
  // components of points[i].  Look for cancellation
  // (parallel::check_cancellation) about every millisecond of work, also
  // inside one long item.
  NormsKernel octonion_norms;
  NormsKernel norms_squared;
  // Geometric products a[i] b[i] of items of 2^n components, n =
  // metric.entries.size() (at most 59), into outputs that overlap no input.
  // Looks for cancellation after every 2^20 terms of work (see CancelClock).
  void (*clifford)(std::size_t count, ItemStarts a, ItemStarts b, const clifford::Metric& metric,
                   ItemsOut products);
  // Sandwiches r[i] x[i] r̃[i], r̃ the reverse of r: the bits of the two
  // products clifford(clifford(r, x), reverse(r)).  Items as for clifford.
  void (*sandwich)(std::size_t count, ItemStarts r, ItemStarts x, const clifford::Metric& metric,
                   ItemsOut products);
  // clifford and sandwich for operands laid out component-major (a structure
  // of arrays): inputs whose items are adjacent doubles or one item for all
  // (an item_step of 8 or 0), an output whose items are adjacent (8), the
  // components any step apart.  One vector load reads a component of W
  // items, one store writes it: no transpose, no copy.  Same bits as
  // clifford and sandwich.  Return false, having done nothing, where the
  // lanes do not apply (a signature entry other than -1, 0, +1, products
  // over 16 components, memory for them unavailable); null without lanes.
  bool (*clifford_by_components)(std::size_t count, ItemsIn a, ItemsIn b,
                                 const clifford::Metric& metric, ItemsOut products);
  bool (*sandwich_by_components)(std::size_t count, ItemsIn r, ItemsIn x,
                                 const clifford::Metric& metric, ItemsOut products);
};

// Whether the operands of a Clifford item loop suit the kernels'
// *_by_components: every input component-major (items adjacent or
// repeated), the output's items adjacent, and some components apart (with
// every component adjacent, the item-major kernels read them as they lie).
inline bool suits_by_components(const ItemsIn& a, const ItemsIn& b,
                                const ItemsOut& products) noexcept {
  constexpr auto kAdjacent = static_cast<std::ptrdiff_t>(sizeof(double));
  const auto items_fit = [](std::ptrdiff_t step) { return step == 0 || step == kAdjacent; };
  return items_fit(a.item_step) && items_fit(b.item_step) && products.item_step == kAdjacent &&
         !(a.contiguous_components() && b.contiguous_components() &&
           products.contiguous_components());
}

// The sandwich as two calls of `clifford` over chunks of the items: what
// every path computes, and how the paths without a sandwich of their own
// compute it.
void sandwich_by_products(decltype(Kernels::clifford) clifford, std::size_t count, ItemStarts r,
                          ItemStarts x, const clifford::Metric& metric, ItemsOut products);

// The kernels that take one item at a time (src/lanes.cpp), and those built
// for each instruction set (src/lanes_*.cpp); which of them this processor
// can run, kernels_for says.
extern const Kernels kScalarKernels;
extern const Kernels kPortableKernels;
#if defined(__x86_64__)
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;
#endif

// The kernels of this process: the widest instruction set that the processor
// has, unless the environment variable VYR_KERNEL_PATH names another one
// that it can run ("scalar", "portable", "avx2", "avx512").  A name that
// cannot be followed (a path that this processor cannot run, or no path) gets
// the widest kernels and a line on standard error naming the path that runs.
// Decided on first use; later changes of the variable have no effect.
const Kernels& kernels() noexcept;

// What kernel_path reports: the name of the kernels that run, followed, when
// VYR_KERNEL_PATH asked for others that cannot run, by what it asked and why
// in parentheses, e.g. "avx2 (VYR_KERNEL_PATH=avx512 cannot run on this
// processor)".
const char* kernels_description() noexcept;

// The kernels built for `path`, or null when this build or processor has no
// such kernels.
const Kernels* kernels_for(Path path) noexcept;

// Hands the pairs [first, last) of a list batch over in index order: runs of
// pairs that `complete(i)` accepts (both factors long enough to read in full)
// to together(begin, end), each other pair to alone(i), where a read past
// the end of a factor faults as the scalar walk reaches it.
template <class Complete, class Together, class Alone>
void complete_runs(std::size_t first, std::size_t last, Complete&& complete, Together&& together,
                   Alone&& alone) {
  for (std::size_t i = first; i < last;) {
    std::size_t end = i;
    while (end < last && complete(end)) {
      ++end;
    }
    if (end > i) {
      together(i, end);
      i = end;
    } else {
      alone(i);
      ++i;
    }
  }
}

// Whether a norm's item loop reads the components of `items` where they lie,
// one item at a time, rather than copying items into adjacent components
// first: for items whose components lie apart and which are so long (over 8
// MiB) that a copy would cost memory without saving time.  One item's sum is
// a chain of dependent additions either way.
inline bool reads_components_in_place(const ItemsIn& items, std::size_t length) noexcept {
  return !items.contiguous_components() && length > (std::size_t{1} << 20);
}

// Components of a norm summed between two looks at cancellation: the sums
// are chains of dependent additions, a few cycles each, so this is about half
// a millisecond of work.
inline constexpr std::size_t kComponentsBetweenChecks = std::size_t{1} << 18;

// add_squares(sum, first, count, step) over the `count` components that lie
// `step` bytes apart from `first`, a chunk of them at a time, from `sum`,
// with parallel::check_cancellation between two chunks: the same additions in
// the same order as one call, so the same bits.
template <class AddSquares>
double add_squares_in_chunks(AddSquares add_squares, double sum, const double* first,
                             std::size_t count, std::ptrdiff_t step) {
  const char* chunk = reinterpret_cast<const char*>(first);
  for (std::size_t done = 0; done < count;) {
    if (done != 0) {
      parallel::check_cancellation();
    }
    const std::size_t n = std::min(kComponentsBetweenChecks, count - done);
    sum = add_squares(sum, reinterpret_cast<const double*>(chunk), n, step);
    chunk += static_cast<std::ptrdiff_t>(n) * step;
    done += n;
  }
  return sum;
}

// The norms that `kernel` (a member of Kernels: octonion_norms or
// norms_squared) gives every vector of the batch, on the worker pool; vectors
// of one length go to the kernel together.
template <NormsKernel Kernels::* kernel>
std::vector<double> norms_of_batch(const Batch& batch) {
  // Norms handed to the lane kernel at once.
  constexpr std::size_t kNormsPerRun = 512;
  std::vector<double> norms;
  const NormsKernel chosen = kernels().*kernel;
  const ItemStarts points = starts_of(batch);
  parallel::indexed_runs(
      norms, batch.size(), kNormsPerRun, [&](std::size_t first, std::size_t last, double* out) {
        for (std::size_t i = first; i < last;) {
          const std::size_t length = batch[i].size();
          std::size_t end = i + 1;
          while (end < last && batch[end].size() == length) {
            ++end;
          }
          chosen(end - i, points.from(i), length,
                 ItemsOut{reinterpret_cast<char*>(out + (i - first)), sizeof(double)});
          i = end;
        }
      });
  return norms;
}

}  // namespace vyr::lanes

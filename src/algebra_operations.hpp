// The operations of a Clifford algebra beyond the geometric product and the
// sandwich, as item loops: one table, read by the array front-end, which
// makes each entry a method of the algebra object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/strided.hpp"
#include "src/clifford.hpp"

namespace vyr::clifford {

// What an operand or a result of an operation holds per item.
enum class ItemKind : std::uint8_t {
  kMultivector,  // 2^n doubles, component k the coefficient of blade mask k
  kScalar,       // one double
  kInteger,      // one std::int64_t (a grade, a set of grades as a bit mask)
};

struct Operation {
  // The method's name on the algebra object, and its docstring, which states
  // the order of evaluation.
  const char* name;
  const char* summary;
  // One or two operands; `operands[k]` says what operand k holds.
  std::size_t operand_count;
  ItemKind operands[2];
  ItemKind result;
  // Runs the operation over `count` items: in[k] holds the items of operand k
  // (an integer operand's item i is the std::int64_t at in[k].item(i)), `out`
  // those of the result.  Outputs overlap no input.  Long items look for
  // cancellation through parallel::check_cancellation.
  void (*items)(std::size_t count, const ItemsIn* in, const Metric& metric, ItemsOut out);
  // Whether the algebra of `metric` has the operation (log, for instance, is
  // defined for a few algebras only); null: every algebra has it.
  bool (*available)(const Metric& metric) noexcept;
  // The work of one item relative to one geometric product of the algebra.
  double relative_cost;
};

// Every operation, in the order the algebra object lists them.
std::span<const Operation> operations() noexcept;

}  // namespace vyr::clifford

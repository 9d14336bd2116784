// State that the package's extension modules share, one value per process.
//
// It lives here, in the engine's shared library that every module of the
// package loads, so that two modules see the same value whichever of them is
// imported or called first.  The base knows no interpreter: it keeps an
// interpreter's id and an opaque pointer, and the modules give them meaning.
#pragma once

#include <cstdint>

namespace vyr {

// Claims the process for the interpreter `interpreter` (an id of at least 0):
// the first claim wins, atomically.  True when `interpreter` is the owner,
// whether by this claim or an earlier one; false when another interpreter is.
bool claim_owner_interpreter(std::int64_t interpreter) noexcept;

// The fault exception type of the Python front-ends, opaque here: null until
// a module has published one.
void* published_fault_exception_type() noexcept;

// Publishes `candidate` as the fault exception type unless one is published
// already; returns the one that stays (`candidate` or the earlier one).
void* publish_fault_exception_type(void* candidate) noexcept;

}  // namespace vyr

// Letting signal handlers run during long loops of the interpreter side.
//
// Converting arguments and building results hold the interpreter lock and,
// for plain floats, lists and tuples, run no Python code, so the interpreter
// never gets to run a signal handler: a Ctrl-C would wait for the end of the
// call.  These loops count their items here instead, and every so many items
// the handlers of signals that have arrived run.
#pragma once

namespace vyr::binding {

// Items between two checks.  An item costs a few nanoseconds, so handlers run
// within a fraction of a millisecond of work; a check that finds no signal
// costs about as much as one item.
inline constexpr long kItemsBetweenSignalChecks = 1 << 14;

// Items left before the next check.  Only touched with the interpreter lock
// held, by whichever thread holds it: a count shared by all of them is as
// good as one per thread.
inline long g_items_until_signal_check = kItemsBetweenSignalChecks;

// Runs the handlers of signals that have arrived (and whatever else the
// interpreter does at such a check).  Throws PythonError with the exception
// that a handler raised.
void check_signals();

// Counts one item, and checks for signals when enough items have passed.
inline void count_item_for_signals() {
  if (--g_items_until_signal_check <= 0) [[unlikely]] {
    check_signals();
  }
}

}  // namespace vyr::binding

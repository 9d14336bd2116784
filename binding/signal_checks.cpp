#include "binding/signal_checks.hpp"

#include <Python.h>

#include "binding/python_error.hpp"

namespace vyr::binding {

void check_signals() {
  g_items_until_signal_check = kItemsBetweenSignalChecks;
  if (PyErr_CheckSignals() < 0) {
    throw_pending_error();
  }
}

}  // namespace vyr::binding

// Everything that the lane kernels include, for the units that build them
// for one instruction set (src/lanes_avx2.cpp, src/lanes_avx512.cpp) to
// include before they enable its instructions: what these headers define
// for everyone is then built for every processor (see src/lane_machinery.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "core/strided.hpp"
#include "parallel/engine.hpp"
#include "src/add.hpp"
#include "src/clifford.hpp"
#include "src/lanes.hpp"
#include "src/lattice.hpp"
#include "src/octonion.hpp"

// The runtime layer under the scene modules. Module code talks to the
// interpreter only through these headers:
//   ref.hpp       errors and references, constants, clean-up
//   call.hpp      calls and containers, operands in source order
//   globals.hpp   globals looked up at the moment of use
//   function.hpp  the native function type
//   module.hpp    module bodies, imports, class statements
//   guard.hpp     guards of native kernels, native recursion depth
//   gl.hpp        GL calls, literal and straight to C
//   numpy.hpp     NumPy arrays for kernels
//   compat.hpp    every interpreter-version difference
#pragma once

#include "gl.hpp"
#include "module.hpp"
#include "numpy.hpp"

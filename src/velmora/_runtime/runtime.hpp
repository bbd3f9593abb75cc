// The package's runtime layer over the CPython C API, shared by every compiled
// module: owned references and the lock guard, the failure convention
// (pending-exception test, traceback entries), argument binding and text
// signatures, conversions, buffer views, C-level exports and imports, the
// module guard, pickling, entry-point guards and signal checks in long loops.
#pragma once

#include "ref.hpp"
#include "messages.hpp"
#include "errors.hpp"
#include "entry.hpp"
#include "args.hpp"
#include "signature.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "capi.hpp"
#include "module.hpp"
#include "pickle.hpp"
#include "signals.hpp"
#include "types.hpp"

// A function for the PyCFunction slot of a PyMethodDef (METH_FASTCALL |
// METH_KEYWORDS or another calling convention), guarded as an entry point
// (entry.hpp): no C++ exception leaves it.
#define VELMORA_METH(fn) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(::velmora::rt::entry<fn>))

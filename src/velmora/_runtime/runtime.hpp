// The package's runtime layer over the CPython C API, shared by every compiled
// module: owned references and the lock guard, the failure convention
// (pending-exception test, traceback entries), argument binding and text
// signatures, conversions, buffer views, C-level exports and imports, the
// module guard and pickling.
#pragma once

#include "ref.hpp"
#include "messages.hpp"
#include "errors.hpp"
#include "args.hpp"
#include "signature.hpp"
#include "convert.hpp"
#include "buffer.hpp"
#include "capi.hpp"
#include "module.hpp"
#include "pickle.hpp"
#include "types.hpp"

// Casts a METH_FASTCALL | METH_KEYWORDS (or other) function to the PyCFunction
// slot type of a PyMethodDef.
#define VELMORA_METH(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

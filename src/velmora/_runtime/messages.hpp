// Every text the package raises, in one place. Module code never spells a
// message itself: it calls one of the raise_* helpers below or formats one of
// these constants through them.
#pragma once

#include "ref.hpp"

namespace velmora::rt::msg {

// Argument binding.
inline constexpr const char* arity =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* unexpected_keyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* multiple_values = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char* keywords_must_be_strings = "%.200s() keywords must be strings";
inline constexpr const char* argument_type =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr const char* argument_not_none = "Argument '%.200s' must not be None";
inline constexpr const char* none_into_not_none =
    "cannot pass None into a C function argument that is declared 'not None'";
inline constexpr const char* expected_type = "Expected %s, got %.200s";
inline constexpr const char* not_subscriptable = "'%.200s' object is not subscriptable";

// Integer conversion.
inline constexpr const char* integer_required = "an integer is required";
inline constexpr const char* int_returned_non_int = "__int__ returned non-int (type %.200s)";
inline constexpr const char* int_returned_int_subclass =
    "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python.";
inline constexpr const char* int_too_large = "value too large to convert to int";

// Buffer views.
inline constexpr const char* buffer_ndim = "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr const char* buffer_dtype = "Buffer dtype mismatch, expected %s%s%s but got %s";
inline constexpr const char* buffer_itemsize =
    "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)";
inline constexpr const char* buffer_not_c_contiguous = "Buffer not C contiguous.";
inline constexpr const char* buffer_big_endian =
    "Big-endian buffer not supported on little-endian compiler";
inline constexpr const char* array_too_short =
    "%.200s(): array '%.200s' has %zd elements, fewer than the %zd of '%.200s'";
inline constexpr const char* output_too_short =
    "%.200s(): numpy.empty(%d) returned a buffer of %zd elements";
inline constexpr const char* array_too_long =
    "%.200s(): array '%.200s' has %zd elements; at most 2147483647 are supported";

// C-level exports and imports.
inline constexpr const char* capi_missing = "%.200s does not export expected C %.8s %.200s";
inline constexpr const char* capi_signature =
    "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)";
inline constexpr const char* not_a_type = "%.200s.%.200s is not a type object";
inline constexpr const char* size_changed =
    "%.200s.%.200s size changed, may indicate binary incompatibility. "
    "Expected %zd from C header, got %zd from PyObject";
inline constexpr const char* invalid_vtable = "invalid vtable found for imported type";
inline constexpr const char* cannot_import_name = "cannot import name %S";
inline constexpr const char* name_not_defined = "name '%U' is not defined";

// Module guard.
inline constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char* reinitialisation =
    "Module '%.200s' has already been imported. Re-initialisation is not supported.";

// A C++ exception stopped at an entry point (entry.hpp); others carry their
// what() text.
inline constexpr const char* cxx_unknown_exception = "unknown C++ exception in compiled code";

// Pickling.
inline constexpr const char* no_default_reduce = "no default __reduce__ due to non-trivial __cinit__";
inline constexpr const char* pickling_setup = "Unable to initialize pickling for %.200s";
// Filled by Python's own %-formatting, so that negative checksums print as
// Python prints them.
inline constexpr const char* incompatible_checksums =
    "Incompatible checksums (0x%x vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())";

// Arithmetic.
inline constexpr const char* float_division = "float division";

// Unimplemented opacity operations: appended to the type's __name__ (arrays,
// so that they can name a template's message).
inline constexpr char grey_log_opacity[] = " must implement _log_opacity(log_T, log_rho).";
inline constexpr char grey_dlogrho[] = " must implement _dlogkappa_dlogrho(log_T, log_rho).";
inline constexpr char grey_dlogT[] = " must implement _dlogkappa_dlogT(log_T, log_rho).";
inline constexpr char freq_log_opacity[] =
    " must implement _log_opacity(log_nu, log_T, log_rho).";
inline constexpr char freq_dlogrho[] =
    " must implement _dlogkappa_dlogrho(log_nu, log_T, log_rho).";
inline constexpr char freq_dlogT[] = " must implement _dlogkappa_dlogT(log_nu, log_T, log_rho).";
inline constexpr char freq_dlognu[] =
    " must implement _dlogkappa_dlognu(log_nu, log_T, log_rho).";

// Table opacities. The out-of-domain message is filled with the interpreter's
// own float formatting (".3f" for the point, ".2f" for the table edges), so
// that infinities and NaN print as the interpreter prints them.
inline constexpr const char* table_outside_domain =
    "(log10_T=%U, %s=%U) is outside the table domain [%U, %U] x [%U, %U].";
inline constexpr const char* table_point_format = ".3f";
inline constexpr const char* table_edge_format = ".2f";
inline constexpr const char* table_grid_too_short =
    "%.200s(): grid '%.200s' has %zd point%s; a table axis needs at least 2";
inline constexpr const char* table_too_small =
    "%.200s(): table 'lk' has shape (%zd, %zd), smaller than the (%zd, %zd) of the grids 'g1' and 'g2'";

// The covering OPAL law's constructor (it copies and checks its table).
inline constexpr const char* grid_not_increasing = "%.200s(): grid '%.200s' must be finite and strictly increasing";
inline constexpr const char* table_entry_infinite =
    "%.200s(): table 'lk' holds %R at (%zd, %zd); entries are finite log10 kappa, or NaN for a hole";
inline constexpr const char* table_no_finite_entry = "%.200s(): table 'lk' holds no finite entry";
inline constexpr const char* composition_sum = "%.200s(): X + Z must be at most 1, got X = %R, Z = %R";
inline constexpr const char* cold_law_type = "%.200s(): cold must be a C_GreyKappaCore instance or None, not %.200s";

// C-level entries handed arguments outside what the object holds: a table
// cell or grid length beyond the law's arrays, a disk-parameter record whose
// opacity is not a grey law. Refused rather than read.
inline constexpr const char* table_cell_outside =
    "%.200s(): cell (%d, %d) lies outside the table, whose cells run from (0, 0) to (%d, %d)";
inline constexpr const char* table_bisect_length =
    "%.200s(): length %d exceeds the grid's %zd points";
inline constexpr const char* opacity_not_grey =
    "%.200s(): the disk parameters' opacity is not a C_GreyKappaCore instance (got %.200s)";

// One-zone disk framework and the electron-scattering law: invalid physical
// input (function, parameter, requirement, value) and the opacity attribute.
inline constexpr const char* invalid_parameter = "%.200s(): %.200s must be %.200s, got %R";
inline constexpr const char* req_positive = "positive";
inline constexpr const char* req_non_negative = "non-negative";
inline constexpr const char* req_positive_finite = "positive and finite";
inline constexpr const char* req_non_negative_finite = "non-negative and finite";
inline constexpr const char* req_finite = "finite";
inline constexpr const char* req_unit_fraction = "finite and between 0 and 1";
inline constexpr const char* no_fallback_record = "%.200s(): the disk parameters hold no fallback record";
inline constexpr const char* opacity_type = "opacity must be a C_GreyKappaCore instance, not %.200s";
inline constexpr const char* opacity_delete = "opacity cannot be deleted";


// Profile driver of the one-zone disk (solve_profile) and its time evolution
// (evolve). The texts with %g are filled by the interpreter's own
// %-formatting. The refusals of a closure object name the refusing function.
inline constexpr const char* profile_lengths =
    "solve_profile(): arrays '%.200s' and '%.200s' have different lengths (%zd and %zd)";
inline constexpr const char* profile_on_failure = "solve_profile(): on_failure must be 'raise' or 'nan', got %R";
inline constexpr const char* profile_threads = "solve_profile(): threads must be at least 1, got %d";
inline constexpr const char* profile_no_function = "%s(): the %.200s object has no %s function installed";
inline constexpr const char* profile_no_fields =
    "%s(): the %.200s object's writer fills no columns (n_result_fields = %d)";
inline constexpr const char* profile_no_opacity =
    "%s(): the disk parameters of the %.200s object hold no opacity law; "
    "install one through its opacity attribute";
inline constexpr const char* profile_status =
    "solve_profile(): no central temperature found for row %d (R_D = %g cm): the closure returned status %d (%s)";
inline constexpr const char* profile_kernel_status =
    "solve_profile(): the %s function returned %d for row %d (R_D = %g cm) without raising";
inline constexpr const char* profile_note = "while solving row %d (R_D = %g cm)";
inline constexpr const char* evolve_at_least_1 = "evolve(): %s must be at least 1, got %d";
inline constexpr const char* evolve_t_start = "evolve(): t_start must be at most t_end = %R, got %R";
inline constexpr const char* evolve_progress = "evolve(): progress must be callable or None, not %.200s";
inline constexpr const char* evolve_status =
    "evolve(): no central temperature found at t = %g s (M_D = %g g, R_D = %g cm): "
    "the closure returned status %d (%s)";
inline constexpr const char* evolve_kernel_status =
    "evolve(): the %s function returned %d at t = %g s without raising";
inline constexpr const char* evolve_step_too_small =
    "evolve(): the step size fell to %g s at t = %g s, below the resolution of t, without meeting rtol";
inline constexpr const char* evolve_too_many_steps =
    "evolve(): max_steps = %d steps did not reach t = %g s (stopped at t = %g s)";
inline constexpr const char* evolve_rebound =
    "evolve(): the %.200s object was rebound or given another opacity law during the run";
inline constexpr const char* evolve_note = "while evolving the disk at t = %g s (M_D = %g g, J_D = %g g cm^2 s^-1)";
inline constexpr const char* evolve_rows_note =
    "evolve(): %d of %d output rows were completed before the run stopped; "
    "they are in this exception's 'rows' attribute";
// Thermal branches of the drivers, and the registry through which models
// offer their energy balances.
inline constexpr const char* branch_name =
    "%s(): branch must be one of 'closure', 'hottest', 'thick', 'thin', 'coolest' (or None), got %R";
inline constexpr const char* no_thermal_model =
    "%s(): the %.200s object's model offers no energy balance to follow a named branch; use branch='closure'";
inline constexpr const char* profile_no_branch = "solve_profile(): the %s branch does not exist at row %d (R_D = %g cm)";
inline constexpr const char* profile_no_equilibrium =
    "solve_profile(): no thermal equilibrium between %g K and %g K for row %d (R_D = %g cm)";
inline constexpr const char* profile_threads_need_branch =
    "solve_profile(): threads > 1 needs a named branch (with branch='closure' each row starts from the one before "
    "it)";
inline constexpr const char* evolve_no_branch =
    "evolve(): the %s branch does not exist at the start (M_D = %g g, R_D = %g cm)";
inline constexpr const char* evolve_no_landing =
    "evolve(): a thermal branch ended at t = %g s (M_D = %g g, R_D = %g cm) with no stable root beyond it";
inline constexpr const char* evolve_restless =
    "evolve(): the disk switched thermal branch %d times in quick succession up to t = %g s without settling";
inline constexpr const char* evolve_stalled = "evolve(): %d attempts in a row failed at t = %g s";
inline constexpr const char* evolve_empty = "evolve(): the disk's mass or angular momentum runs out at t = %g s";
inline constexpr const char* balance_failed = "the model's energy balance failed without raising";
inline constexpr const char* registry_null = "register_thermal_model(): closure and model must not be null";
inline constexpr const char* registry_full = "register_thermal_model(): no room for another model";
}  // namespace velmora::rt::msg

namespace velmora::rt {

// The arity error of a fixed parameter list (min == max for "exactly").
inline void raise_arity(const char* func, bool exact, Py_ssize_t n_min, Py_ssize_t n_max,
                        Py_ssize_t n_found) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (n_found < n_min) {
        expected = n_min;
        more_or_less = "at least";
    } else {
        expected = n_max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, msg::arity, func, more_or_less, expected,
                 expected == 1 ? "" : "s", n_found);
}

inline void raise_float_division() {
    PyErr_SetString(PyExc_ZeroDivisionError, msg::float_division);
}

// Argument of the wrong exact type (None allowed or not is the caller's test).
inline void raise_argument_type(const char* name, PyTypeObject* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, msg::argument_type, name, expected->tp_name, Py_TYPE(got)->tp_name);
}

inline void raise_argument_none(const char* name) {
    PyErr_Format(PyExc_TypeError, msg::argument_not_none, name);
}

}  // namespace velmora::rt

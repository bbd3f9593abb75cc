// Module velmora.dynamics.accretion.one_zone.models._gasrad_adv: the thermal
// closure of a one-zone accretion disk supported by gas and radiation
// pressure and cooled by radiation and advection, its output writer, and the
// closure object AdvectiveClosure that installs them in the framework.
#include "dynamics/accretion/one_zone/closure.hpp"
#include "dynamics/accretion/one_zone/disk_model.hpp"
#include "dynamics/accretion/one_zone/model_glue.hpp"
#include "dynamics/accretion/one_zone/structure.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/fields.hpp"
#include "_runtime/import_from.hpp"
#include "_runtime/runtime.hpp"
#include "_runtime/signature.hpp"
#include "math_utils/bracket_solver.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include <cmath>
#include <iterator>
#include <new>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;
using rt::Ref;

#define GA_PREFIX "velmora.dynamics.accretion.one_zone.models._gasrad_adv."

constexpr char q_residual[] = GA_PREFIX "gasrad_adv_residual";
constexpr char q_closure[] = GA_PREFIX "gasrad_adv_closure_func";
constexpr char q_writer[] = GA_PREFIX "gasrad_adv_writer_func";

// This model's own texts: parameter records that were never filled from a
// bound closure object.
namespace texts {
inline constexpr const char* no_advection_record =
    "%.200s(): the disk parameters hold no advection record; call bind_runtime_parameters first";
inline constexpr const char* no_opacity_law =
    "%.200s(): the disk parameters hold no opacity law; call bind_runtime_parameters first";
inline constexpr const char* unbound =
    "%s(): the disk parameters of the %.200s object hold no advection record; call bind_runtime_parameters first";
inline constexpr const char* no_opacity =
    "%s(): the disk parameters of the %.200s object hold no opacity law; install one through its opacity attribute";
}  // namespace texts

// Bound at module initialisation, kept for the process (the framework's
// types and kernels in the glue's bindings).
ModelBindings bound;
opacity::KappaCoreBinding& kappa = bound.kappa;
DiskConstantsBinding consts;
math_utils::BracketSolverBinding solver;
DiskKernelsBinding& kernels = bound.kernels;

// Columns of an output row; exported as the C variable ADV_N_RESULT_FIELDS.
int adv_n_result_fields = 0;
constexpr int n_result_fields = 21;

constexpr double pi = 3.141592653589793;

// ---------------------------------------------------------------------------
// Numerical cores: the energy balance q_visc = q_rad + q_adv of a one-zone
// disk, in natural logs. With the scale height H = c_s / Omega and the
// mid-plane density rho = Sigma / (sqrt(2 pi) H),
//   q_rad / q_visc = A T^4 / (kappa c_s^2), A = (32/27) sigma_SB / (alpha Omega Sigma^2),
//   q_adv / q_visc = B c_s^2,               B = (4/3) xi / (R_D^2 Omega^2).

struct Coefficients {
    double ln_A, ln_B;
};

// xi = 0 gives ln_B = -inf: the advective term is then exactly 0.
Coefficients balance_coefficients(double alpha, double xi, double R_D, double Sigma, double Omega) {
    Coefficients c;
    c.ln_A = structure::ln_radiative_coefficient(*consts.LOG_SIGMA_SB_CGS, alpha, Sigma, Omega);
    c.ln_B = std::log(xi) + std::log(4.0 / 3.0) - 2.0 * std::log(R_D) - 2.0 * std::log(Omega);
    return c;
}

// Gas pressure and electron scattering alone:
// T0^3 = (27/64) k_B alpha kappa_es Omega Sigma^2 / (mu m_p sigma_SB).
double gas_scattering_guess(double alpha, double mu, double Sigma, double Omega) {
    const double ln_T0_cubed = std::log(27.0 / 64.0) + *consts.LOG_K_B_CGS + std::log(alpha) +
                               *consts.LOG_KAPPA_ES - *consts.LOG_M_P_CGS - std::log(mu) -
                               *consts.LOG_SIGMA_SB_CGS + std::log(Omega) + 2.0 * std::log(Sigma);
    return ln_T0_cubed * (1.0 / 3.0);
}

using structure::ln_midplane_density;
using structure::ln_surface_term;

// f = 1 - q_rad / q_visc - q_adv / q_visc at x = ln T.
double balance_residual(double x, double ln_c_s, double ln_kappa, const Coefficients& c) {
    return 1.0 - structure::radiative_share(c.ln_A, x, ln_c_s, ln_kappa) - std::exp(2.0 * ln_c_s + c.ln_B);
}

// ---------------------------------------------------------------------------
// The residual and the closure. Both run without the interpreter lock and take
// it only for the pending-exception test after each call and for traceback
// entries.

// User data of one solve, on the closure's stack; the law is borrowed. The
// last field caches ln Omega + ln Sigma, which every evaluation needs.
struct AdvResidualContext {
    double ln_A;
    double ln_B;
    double mu;
    double Sigma;
    double Omega;
    PyObject* opacity;
    double ln_Omega_Sigma;
};

int residual_failed() {
    rt::add_traceback(q_residual);
    return -1;
}

// scalar_func: f(ln T) into *f_out.
int gasrad_adv_residual(double x, void* user_data, double* f_out) {
    const auto* ctx = static_cast<const AdvResidualContext*>(user_data);
    const double T = std::exp(x);
    const double c_s = kernels.compute_gas_rad_cs(T, ctx->mu, ctx->Sigma, ctx->Omega);
    if (rt::exception_pending()) return residual_failed();
    const double ln_c_s = std::log(c_s);
    const double ln_rho = ln_midplane_density(ctx->ln_Omega_Sigma, ln_c_s);
    const double ln_kappa = structure::log_opacity(ctx->opacity, x, ln_rho);
    if (rt::exception_pending()) return residual_failed();
    *f_out = balance_residual(x, ln_c_s, ln_kappa, {ctx->ln_A, ctx->ln_B});
    return 0;
}

// A record that was never filled from a bound closure object has no
// advection record (or no law): refused here rather than dereferenced. A
// record filled by hand may hold any object as its law; only a grey law has
// the operation table the residual calls.
bool parameters_filled(const DiskParameters* params, const char* func, bool needs_law) {
    const char* missing = nullptr;
    if (!params->advection)
        missing = texts::no_advection_record;
    else if (needs_law && (!params->opacity || params->opacity == Py_None))
        missing = texts::no_opacity_law;
    if (!missing) {
        if (!needs_law || PyObject_TypeCheck(params->opacity, kappa.grey_type)) return true;
        rt::GilGuard gil;
        PyErr_Format(PyExc_TypeError, msg::opacity_not_grey, func, Py_TYPE(params->opacity)->tp_name);
        return false;
    }
    rt::GilGuard gil;
    PyErr_Format(PyExc_RuntimeError, missing, func);
    return false;
}

int closure_failed() {
    rt::add_traceback(q_closure);
    return -1;
}

// The residual's context for one ring: the balance's coefficients and the
// ring, with the law borrowed from the parameters.
AdvResidualContext ring_context(const DiskDerived* derived, const DiskParameters* params) {
    const double Sigma = derived->Sigma;
    const double Omega = derived->Omega;
    const Coefficients coeff = balance_coefficients(params->alpha, params->advection->xi, derived->R_D, Sigma, Omega);
    return AdvResidualContext{coeff.ln_A, coeff.ln_B, params->mu, Sigma, Omega, params->opacity,
                              ln_surface_term(Omega, Sigma)};
}

// The closure result at the root ln T_c = root: every field but ln_T_c
// follows from the sound speed and the opacity there. 0, or -1 with an
// exception pending (the fields written before the failure stay written).
int fill_result(const DiskDerived* derived, const DiskParameters* params, double root, ClosureResult* out) {
    const double Sigma = derived->Sigma;
    const double Omega = derived->Omega;
    out->ln_T_c = root;
    const double c_s = kernels.compute_gas_rad_cs(std::exp(root), params->mu, Sigma, Omega);
    if (rt::exception_pending()) return -1;
    out->ln_c_s = std::log(c_s);
    out->ln_rho = ln_midplane_density(ln_surface_term(Sigma, Omega), out->ln_c_s);
    const double ln_kappa = structure::log_opacity(params->opacity, root, out->ln_rho);
    if (rt::exception_pending()) return -1;
    structure::fill_from_root(*derived, params->alpha, root, out->ln_c_s, ln_kappa, out);
    return 0;
}


// closure_func_t. Never reads the state.
int gasrad_adv_closure_func(const DiskState*, const DiskDerived* derived, const DiskParameters* params,
                            const ClosureResult* previous, ClosureResult* out) {
    if (!parameters_filled(params, "gasrad_adv_closure_func", true)) return closure_failed();
    AdvResidualContext ctx = ring_context(derived, params);

    // A previous ln T_c of exactly 0 (either sign) asks for the computed guess.
    const double x0 = previous->ln_T_c == 0.0 ? gas_scattering_guess(params->alpha, params->mu, ctx.Sigma, ctx.Omega)
                                              : previous->ln_T_c;
    const double x_min = structure::ln_T_c_min();
    const double x_max = structure::ln_T_c_max();
    double root = 0.0;
    const int status = solver.find_root(&gasrad_adv_residual, &ctx, x0, 0.05, 2.0, 60, x_min, x_max, 1e-30,
                                        1e-10, 1e-12, 100, &root);
    if (rt::exception_pending()) return closure_failed();
    if (status != math_utils::SUCCESS) return status;
    // A guess outside the range can bracket a root outside it; the closure
    // keeps to its range.
    if (root < x_min || root > x_max) return math_utils::EXPAND_FAIL;
    return fill_result(derived, params, root, out) == 0 ? 0 : closure_failed();
}

// The balance offered to the framework's branch-aware solve: the closure's
// own context, residual and result, so that a root chosen there gives the
// bits this closure writes when its search ends on that root.
int thermal_prepare(const DiskDerived* derived, const DiskParameters* params, ThermalContext* ctx) {
    if (!parameters_filled(params, "gasrad_adv_closure_func", true)) return closure_failed();
    new (ctx->data()) AdvResidualContext(ring_context(derived, params));
    return 0;
}

int thermal_fill(const DiskDerived* derived, const DiskParameters* params, const ThermalContext*, double root,
                 ClosureResult* out) {
    return fill_result(derived, params, root, out) == 0 ? 0 : closure_failed();
}

static_assert(sizeof(AdvResidualContext) <= sizeof(ThermalContext) &&
              alignof(AdvResidualContext) <= alignof(ThermalContext));
const ThermalModel thermal_model{&thermal_prepare, &gasrad_adv_residual, &thermal_fill, structure::ln_T_c_min(),
                                  structure::ln_T_c_max()};

// The writer's columns (see gasrad_adv_writer_func).
constexpr Column columns[] = {
    {"row", "-", "output row number"},
    {"t", "s", "time"},
    {"M_D", "g", "disk mass"},
    {"J_D", "g cm^2 s^-1", "disk angular momentum"},
    {"R_D", "cm", "disk radius"},
    {"Sigma", "g cm^-2", "surface density"},
    {"Omega", "s^-1", "angular velocity"},
    {"T_eff", "K", "effective temperature"},
    {"T_c", "K", "central temperature"},
    {"tau", "-", "optical depth"},
    {"c_s", "cm s^-1", "sound speed"},
    {"nu", "cm^2 s^-1", "kinematic viscosity"},
    {"Q_visc", "erg cm^-2 s^-1", "viscous heating rate"},
    {"Q_adv", "erg cm^-2 s^-1", "advective cooling rate (alpha/3 times the balance's advective term)"},
    {"dM_D_dt", "g s^-1", "rate of change of the disk mass"},
    {"dJ_D_dt", "g cm^2 s^-2", "rate of change of the disk angular momentum"},
    {"Mdot", "g s^-1", "accretion rate onto the hole"},
    {"t_visc", "s", "viscous time"},
    {"H", "cm", "scale height"},
    {"H_over_R", "-", "aspect ratio H / R_D"},
    {"rho_c", "g cm^-3", "central density"},
};
static_assert(std::size(columns) == n_result_fields);

// The closure reads the advection record and calls the law.
int check_ready(PyObject* obj, const DiskParameters* params, const char* driver) {
    const char* missing = !params->advection ? texts::unbound
                          : (!params->opacity || params->opacity == Py_None) ? texts::no_opacity
                                                                             : nullptr;
    if (!missing) return 0;
    PyErr_Format(PyExc_RuntimeError, missing, driver, Py_TYPE(obj)->tp_name);
    return -1;
}

const DiskModel disk_model{"gasrad_adv", &thermal_model, columns, static_cast<int>(std::size(columns)),
                           &check_ready, &math_utils::status_name};

// ---------------------------------------------------------------------------
// The writer: one row of 21 columns, column k at index row + k * stride.

int writer_failed() {
    rt::add_traceback(q_writer);
    return -1;
}

// ln of the advective cooling rate written to the rows,
// (4 / (9 pi)) xi F0 alpha M_D c_s^2 Q_visc / (R_D^4 Omega^2 Sigma).
double ln_advective_cooling(double xi, double alpha, double M_D, double R_D, double Omega, double Sigma,
                            double ln_Q_visc, double ln_c_s) {
    return std::log(xi) + std::log(4.0 / (9.0 * pi)) + *consts.LOG_DISK_F0 + std::log(alpha) + std::log(M_D) -
           4.0 * std::log(R_D) - 2.0 * std::log(Omega) - std::log(Sigma) + ln_Q_visc + 2.0 * ln_c_s;
}

// writer_func_t.
int gasrad_adv_writer_func(const int row, const DiskState* state, const DiskDerived* derived,
                           const DiskParameters* params, const ClosureResult* result, const DiskStep* step,
                           double* out, int stride) {
    if (!parameters_filled(params, "gasrad_adv_writer_func", false)) return writer_failed();
    const double E = ln_advective_cooling(params->advection->xi, params->alpha, state->M_D, derived->R_D,
                                          derived->Omega, derived->Sigma, result->ln_Q_visc, result->ln_c_s);
    const double H = std::exp(result->ln_c_s - std::log(derived->Omega));
    const double rho = std::exp(result->ln_rho);
    const bool written = structure::write_columns(
        out, row, stride,
        {static_cast<double>(row), state->state0, state->M_D, state->state2, derived->R_D, derived->Sigma,
         derived->Omega, std::exp(result->ln_T_eff), std::exp(result->ln_T_c), std::exp(result->ln_tau),
         std::exp(result->ln_c_s), std::exp(result->ln_nu), std::exp(result->ln_Q_visc), std::exp(E), step->step1,
         step->step2, step->step0, result->t_visc, H},
        *derived, H, rho);
    if (!written && !rt::nonzero_divisor(derived->R_D)) return writer_failed();
    return 0;
}

// ---------------------------------------------------------------------------
// AdvectiveClosure: the framework's model glue with this model's traits. Its
// object is, field for field: the base, mu, xi, M_BH, R_in, alpha,
// with_fallback, fallback_obj, advection_obj, fallback_params,
// advection_params.

using AdvectiveObject = ModelObject<1, 1>;
static_assert(offsetof(AdvectiveObject, mu) == sizeof(OneZoneClosure) &&
              offsetof(AdvectiveObject, with_fallback) == sizeof(OneZoneClosure) + 40 &&
              offsetof(AdvectiveObject, record_params) == sizeof(OneZoneClosure) + 72 &&
              sizeof(AdvectiveObject) == sizeof(OneZoneClosure) + 80);

constexpr char bind_doc[] =
    "Take the disk parameters from a processed run-time parameter dictionary.\n\n"
    "Parameters\n----------\n"
    "run_params : dict\n"
    "    Exactly a dict with \"log_M_BH\" (ln of the black-hole mass in g),\n"
    "    \"log_R_in\" (ln of the inner radius in cm) and \"alpha\" (viscosity\n"
    "    parameter, linear); with fallback also \"log_M_fb_0\", \"log_R_c\",\n"
    "    \"log_t_fb\" (natural logs, cgs) and \"beta_fb\".\n\n"
    "A CAdvection(xi) record (and a CFallback record, with fallback) replaces the\n"
    "one held before. Values read before a failing key stay stored.\n\n"
    "Examples\n--------\n"
    ">>> import math\n"
    ">>> from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure\n"
    ">>> disk = AdvectiveClosure(with_fallback=True)\n"
    ">>> disk.bind_runtime_parameters({\"log_M_BH\": math.log(2e39), \"log_R_in\": math.log(8.9e11),\n"
    "...     \"alpha\": 0.1, \"log_M_fb_0\": math.log(6.6e32), \"log_R_c\": math.log(1.4e13),\n"
    "...     \"log_t_fb\": math.log(3.5e6), \"beta_fb\": 5.0 / 3.0})\n"
    ">>> disk.bind_runtime_parameters({\"alpha\": 0.1})\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "KeyError: 'log_M_BH'";

struct Advective {
    using Object = AdvectiveObject;
    VELMORA_MODEL_NAMES(GA_PREFIX, "AdvectiveClosure");
    static constexpr const char* bind_doc = disk::bind_doc;

    struct Init {
        bool with_fallback;
        double mu, xi;
    };
    static constexpr auto init = rt::declare<&Init::with_fallback, &Init::mu, &Init::xi>(
        "__init__", {"with_fallback", "mu", "xi"}, {"False", "0.6", "0.5"});

    static inline ModelBindings& bindings = bound;

    static void construct(Object* self, const Init& a) {
        self->base.closure_func = &gasrad_adv_closure_func;
        self->base.writer_func = &gasrad_adv_writer_func;
        self->base.n_result_fields = adv_n_result_fields;
        self->fixed[0] = a.xi;
    }

    // The advection record: CAdvection(xi).
    static Ref make_record(Object* self, std::size_t) {
        Ref xi = rt::new_float(self->fixed[0]);
        if (!xi) return {};
        return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(bound.wrappers.advection_type), xi.get()));
    }

    static void* record_pointer(PyObject* record, std::size_t) {
        return ModelClosure<Advective>::record_of<CAdvection>(record);
    }

    static void fill_records(const Object* self, DiskParameters* out) {
        out->advection = static_cast<AdvectionParams*>(self->record_params[0]);
    }

    static constexpr char doc[] =
        "Thermal closure of a one-zone accretion disk with gas plus radiation\n"
        "pressure and advective cooling, for the one-zone disk framework.\n\n"
        "It installs the C-level closure gasrad_adv_closure_func, the writer\n"
        "gasrad_adv_writer_func (21 columns), the viscous derivative and, with\n"
        "fallback, the fallback source; its opacity law is an\n"
        "ElectronScatteringOpacity until another grey law is assigned to ``opacity``.\n\n"
        "Parameters\n----------\n"
        "with_fallback : bool\n"
        "    Whether matter falling back onto the disk is a mass source (taken by its\n"
        "    truth value).\n"
        "mu : float\n    Mean molecular weight of the disk gas.\n"
        "xi : float\n"
        "    Entropy-gradient parameter of the advective cooling, fixed at\n"
        "    construction (0 turns advection off).\n\n"
        "Call ``bind_runtime_parameters(run_params)`` before the closure is passed\n"
        "to the integrator: the closure reads the advection record that binding\n"
        "creates.\n\n"
        "Examples\n--------\n"
        VELMORA_EXAMPLE_DISK
        ">>> type(disk.opacity).__name__, disk.n_result_fields\n"
        "('ElectronScatteringOpacity', 21)";
};

using AdvectiveClosure = ModelClosure<Advective>;

int exec_gasrad_adv(PyObject* module) {
    if (!rt::export_c_api(module, "ADV_N_RESULT_FIELDS", &adv_n_result_fields, "int") ||
        !rt::export_function(module, "gasrad_adv_writer_func", &gasrad_adv_writer_func, writer_signature) ||
        !rt::export_function(module, "gasrad_adv_closure_func", &gasrad_adv_closure_func, closure_signature))
        return -1;
    if (!AdvectiveClosure::prepare_type(module)) return -1;
    if (!kappa.bind() || !bound.wrappers.bind()) return -1;
    if (!consts.bind()) return -1;
    if (!solver.bind_find_root() || !kernels.bind()) return -1;

    adv_n_result_fields = n_result_fields;
    if (PyModule_AddIntConstant(module, "ADV_N_RESULT_FIELDS_PY", n_result_fields) < 0) return -1;
    if (!AdvectiveClosure::attach_bind()) return -1;
    if (PyModule_AddObjectRef(module, "gasradAdvClosure", reinterpret_cast<PyObject*>(&AdvectiveClosure::type)) < 0)
        return -1;
    return offer_disk_model(&gasrad_adv_closure_func, &disk_model) ? 0 : -1;
}

constexpr const char* module_doc =
    "Advective one-zone disk closure with gas plus radiation pressure.\n\n"
    "A one-zone disk ring of radius R_D, surface density Sigma and angular\n"
    "velocity Omega is heated by viscosity (alpha prescription) and cooled by\n"
    "radiation from its surfaces and by advection of heat with the inflow. Its\n"
    "central temperature T_c follows from the energy balance\n\n"
    "    q_visc = q_rad + q_adv,\n\n"
    "solved in x = ln T_c by the package's bracketed root finder with the residual\n\n"
    "    f(x) = 1 - A T^4 / (kappa c_s^2) - B c_s^2,\n"
    "    A = (32/27) sigma_SB / (alpha Omega Sigma^2),\n"
    "    B = (4/3) xi / (R_D^2 Omega^2),\n\n"
    "where the second term is q_rad / q_visc and the third q_adv / q_visc =\n"
    "(4/3) xi (H / R_D)^2. The sound speed c_s comes from gas plus radiation\n"
    "pressure, the scale height is H = c_s / Omega, the mid-plane density\n"
    "rho = Sigma / (sqrt(2 pi) H), and kappa(T, rho) is the disk's grey opacity\n"
    "law. T_c is sought between 10 K and 1e14 K, starting from the previous\n"
    "solution or from the gas-pressure, electron-scattering estimate.\n\n"
    "AdvectiveClosure (alias gasradAdvClosure) installs the closure and its\n"
    "21-column output writer in the one-zone disk framework;\n"
    "ADV_N_RESULT_FIELDS_PY is the number of columns. __c_api__ exports the C\n"
    "variable ADV_N_RESULT_FIELDS and the functions gasrad_adv_writer_func and\n"
    "gasrad_adv_closure_func. Units are cgs, logarithms natural.\n\n"
    "Examples\n--------\n"
    ">>> from velmora.dynamics.accretion.one_zone.models import _gasrad_adv\n"
    ">>> _gasrad_adv.ADV_N_RESULT_FIELDS_PY, _gasrad_adv.gasradAdvClosure is _gasrad_adv.AdvectiveClosure\n"
    "(21, True)\n"
    ">>> sorted(_gasrad_adv.__c_api__)\n"
    "['ADV_N_RESULT_FIELDS', 'gasrad_adv_closure_func', 'gasrad_adv_writer_func']";

}  // namespace
}  // namespace velmora::disk

VELMORA_MODULE(_gasrad_adv, velmora::disk::module_doc,
               "velmora/dynamics/accretion/one_zone/models/_gasrad_adv.cpp", velmora::disk::exec_gasrad_adv)

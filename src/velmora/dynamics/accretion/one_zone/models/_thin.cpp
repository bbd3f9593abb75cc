// Module velmora.dynamics.accretion.one_zone.models._thin: the textbook thin
// disk as a one-zone closure. Gas pressure only (c_s^2 = k T / (mu m_p)),
// cooled by radiation only, so that the energy balance q_visc = q_rad reads
//     f(x) = 1 - A T^4 / (kappa c_s^2),  A = (32/27) sigma_SB / (alpha Omega Sigma^2),
// whose root with a constant opacity is
//     T_c^3 = (27/32) k_B alpha kappa Omega Sigma^2 / (sigma_SB mu m_p).
// With a table opacity the balance can have several roots (the ionisation of
// hydrogen), which the framework's branch-aware drivers follow.
#include "dynamics/accretion/one_zone/closure.hpp"
#include "dynamics/accretion/one_zone/disk_model.hpp"
#include "dynamics/accretion/one_zone/model_glue.hpp"
#include "dynamics/accretion/one_zone/structure.hpp"

#include "_runtime/checks.hpp"
#include "math_utils/bracket_solver.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include <cmath>
#include <iterator>
#include <new>

namespace velmora::disk {
namespace {

using rt::Ref;

#define THIN_PREFIX "velmora.dynamics.accretion.one_zone.models._thin."

constexpr char q_residual[] = THIN_PREFIX "thin_residual";
constexpr char q_closure[] = THIN_PREFIX "thin_closure_func";
constexpr char q_writer[] = THIN_PREFIX "thin_writer_func";

ModelBindings bound;

// This model's own text.
namespace texts {
inline constexpr const char* unbound = "%s(): the %.200s object is not bound; call bind_runtime_parameters first";
}  // namespace texts
DiskConstantsBinding consts;
math_utils::BracketSolverBinding solver;

// --- the balance ------------------------------------------------------------------

struct ThinContext {
    double ln_A;          // ln of the radiative coefficient
    double ln_gas;        // ln(k_B / (mu m_p)): ln c_s^2 = ln_gas + x
    double ln_Omega_Sigma;
    PyObject* opacity;    // borrowed
};

double ln_sound_speed(double ln_gas, double x) { return 0.5 * (ln_gas + x); }

int thin_residual(double x, void* user_data, double* f_out) {
    const auto* ctx = static_cast<const ThinContext*>(user_data);
    const double ln_c_s = ln_sound_speed(ctx->ln_gas, x);
    const double ln_rho = structure::ln_midplane_density(ctx->ln_Omega_Sigma, ln_c_s);
    const double ln_kappa = structure::log_opacity(ctx->opacity, x, ln_rho);
    if (rt::exception_pending()) {
        rt::add_traceback(q_residual);
        return -1;
    }
    *f_out = 1.0 - structure::radiative_share(ctx->ln_A, x, ln_c_s, ln_kappa);
    return 0;
}

ThinContext ring_context(const DiskDerived* d, const DiskParameters* p) {
    return {structure::ln_radiative_coefficient(*consts.LOG_SIGMA_SB_CGS, p->alpha, d->Sigma, d->Omega),
            *consts.LOG_K_B_CGS - std::log(p->mu) - *consts.LOG_M_P_CGS,
            structure::ln_surface_term(d->Omega, d->Sigma), p->opacity};
}

int fill_result(const DiskDerived* d, const DiskParameters* p, const ThinContext& ctx, double root,
                ClosureResult* out) {
    out->ln_T_c = root;
    out->ln_c_s = ln_sound_speed(ctx.ln_gas, root);
    out->ln_rho = structure::ln_midplane_density(ctx.ln_Omega_Sigma, out->ln_c_s);
    const double ln_kappa = structure::log_opacity(p->opacity, root, out->ln_rho);
    if (rt::exception_pending()) {
        rt::add_traceback(q_closure);
        return -1;
    }
    structure::fill_from_root(*d, p->alpha, root, out->ln_c_s, ln_kappa, out);
    return 0;
}

// The closure: from the previous root, or from the constant-opacity root with
// electron scattering, within 10 K to 1e14 K.
int thin_closure_func(const DiskState*, const DiskDerived* d, const DiskParameters* p, const ClosureResult* previous,
                      ClosureResult* out) {
    ThinContext ctx = ring_context(d, p);
    const double x0 = previous->ln_T_c != 0.0
                          ? previous->ln_T_c
                          : (std::log(27.0 / 32.0) - ctx.ln_A + *consts.LOG_KAPPA_ES + ctx.ln_gas) / 3.0;
    double root = 0.0;
    const double x_min = structure::ln_T_c_min(), x_max = structure::ln_T_c_max();
    const int status = solver.find_root(&thin_residual, &ctx, x0, 0.05, 2.0, 60, x_min, x_max, 1e-30,
                                        1e-12, 1e-14, 100, &root);
    if (rt::exception_pending()) {
        rt::add_traceback(q_closure);
        return -1;
    }
    if (status != math_utils::SUCCESS) return status;
    if (root < x_min || root > x_max) return math_utils::EXPAND_FAIL;
    return fill_result(d, p, ctx, root, out);
}

int thin_writer_func(const int row, const DiskState* s, const DiskDerived* d, const DiskParameters*,
                     const ClosureResult* r, const DiskStep* step, double* out, int stride) {
    const double H = std::exp(r->ln_c_s - std::log(d->Omega));
    if (structure::write_columns(out, row, stride,
                                 {static_cast<double>(row), s->state0, s->M_D, s->state2, d->R_D, d->Sigma, d->Omega,
                                  std::exp(r->ln_T_eff), std::exp(r->ln_T_c), std::exp(r->ln_tau),
                                  std::exp(r->ln_c_s), std::exp(r->ln_nu), std::exp(r->ln_Q_visc), step->step1,
                                  step->step2, step->step0, r->t_visc, H},
                                 *d, H, std::exp(r->ln_rho)) ||
        rt::nonzero_divisor(d->R_D))
        return 0;
    rt::add_traceback(q_writer);
    return -1;
}

// --- what the framework is told -------------------------------------------------

int thermal_prepare(const DiskDerived* d, const DiskParameters* p, ThermalContext* ctx) {
    new (ctx->data()) ThinContext(ring_context(d, p));
    return 0;
}

int thermal_fill(const DiskDerived* d, const DiskParameters* p, const ThermalContext* ctx, double root,
                 ClosureResult* out) {
    return fill_result(d, p, *static_cast<const ThinContext*>(ctx->data()), root, out);
}

static_assert(sizeof(ThinContext) <= sizeof(ThermalContext));
const ThermalModel thermal_model{&thermal_prepare, &thin_residual, &thermal_fill, structure::ln_T_c_min(),
                                  structure::ln_T_c_max()};

constexpr Column columns[] = {
    {"row", "-", "output row number"},           {"t", "s", "time"},
    {"M_D", "g", "disk mass"},                   {"J_D", "g cm^2 s^-1", "disk angular momentum"},
    {"R_D", "cm", "disk radius"},                {"Sigma", "g cm^-2", "surface density"},
    {"Omega", "s^-1", "angular velocity"},       {"T_eff", "K", "effective temperature"},
    {"T_c", "K", "central temperature"},         {"tau", "-", "optical depth"},
    {"c_s", "cm s^-1", "sound speed"},           {"nu", "cm^2 s^-1", "kinematic viscosity"},
    {"Q_visc", "erg cm^-2 s^-1", "viscous heating rate"},
    {"dM_D_dt", "g s^-1", "rate of change of the disk mass"},
    {"dJ_D_dt", "g cm^2 s^-2", "rate of change of the disk angular momentum"},
    {"Mdot", "g s^-1", "accretion rate onto the hole"},
    {"t_visc", "s", "viscous time"},             {"H", "cm", "scale height"},
    {"H_over_R", "-", "aspect ratio H / R_D"},   {"rho_c", "g cm^-3", "central density"},
};

// Bound when binding has set the hole's mass, with a grey law to call.
int check_ready(PyObject* obj, const DiskParameters* p, const char* driver) {
    if (p->M_BH > 0.0 && p->opacity && PyObject_TypeCheck(p->opacity, bound.kappa.grey_type)) return 0;
    PyErr_Format(PyExc_RuntimeError, texts::unbound, driver, Py_TYPE(obj)->tp_name);
    return -1;
}

const DiskModel disk_model{"thin", &thermal_model, columns, static_cast<int>(std::size(columns)), &check_ready,
                           &math_utils::status_name};

// --- the closure object ---------------------------------------------------------

struct Thin {
    using Object = ModelObject<0, 0>;
    VELMORA_MODEL_NAMES(THIN_PREFIX, "ThinClosure");
    static constexpr char doc[] =
        "Closure of the textbook thin disk: gas pressure, radiative cooling.\n\n"
        "Installs the closure (the balance q_visc = q_rad with c_s^2 = k T / (mu m_p)),\n"
        "a 20-column writer (model_info tells the columns), the viscous derivative\n"
        "and, with fallback, the fallback source; the opacity law is an\n"
        "ElectronScatteringOpacity until another grey law is assigned.\n\n"
        "Parameters\n----------\n"
        "with_fallback : bool\n    Whether falling-back matter feeds the disk.\n"
        "mu : float\n    Mean molecular weight.\n\n"
        "Examples\n--------\n"
        ">>> import math\n"
        ">>> from velmora.dynamics.accretion.one_zone.models._thin import ThinClosure\n"
        ">>> disk = ThinClosure()\n"
        ">>> disk.bind_runtime_parameters({\"log_M_BH\": math.log(2e39), \"log_R_in\": math.log(8.9e11),\n"
        "...                               \"alpha\": 0.1})\n"
        ">>> disk.n_result_fields\n"
        "20";
    static constexpr char bind_doc[] =
        "Take the disk parameters from a run-time parameter dictionary.\n\n"
        "Parameters\n----------\n"
        "run_params : dict\n"
        "    \"log_M_BH\", \"log_R_in\" (natural logs of g and cm) and \"alpha\"; with\n"
        "    fallback also \"log_M_fb_0\", \"log_R_c\", \"log_t_fb\" and \"beta_fb\".\n\n"
        "Examples\n--------\n"
        ">>> from velmora.dynamics.accretion.one_zone.models._thin import ThinClosure\n"
        ">>> ThinClosure().bind_runtime_parameters({\"alpha\": 0.1})\n"
        "Traceback (most recent call last):\n    ...\nKeyError: 'log_M_BH'";

    struct Init {
        bool with_fallback;
        double mu;
    };
    static constexpr auto init =
        rt::declare<&Init::with_fallback, &Init::mu>("__init__", {"with_fallback", "mu"}, {"False", "0.6"});

    static inline ModelBindings& bindings = bound;

    static void construct(Object* self, const Init&) {
        self->base.closure_func = &thin_closure_func;
        self->base.writer_func = &thin_writer_func;
        self->base.n_result_fields = static_cast<int>(std::size(columns));
    }
    static Ref make_record(Object*, std::size_t) { return {}; }
    static void* record_pointer(PyObject*, std::size_t) { return nullptr; }
    static void fill_records(const Object*, DiskParameters* out) { out->advection = nullptr; }
};

using ThinClosure = ModelClosure<Thin>;

int exec_thin(PyObject* module) {
    if (!ThinClosure::prepare_type(module) || !ThinClosure::attach_bind()) return -1;
    if (!bound.kappa.bind() || !bound.wrappers.bind() || !consts.bind() || !solver.bind_find_root() ||
        !bound.kernels.bind())
        return -1;
    return offer_disk_model(&thin_closure_func, &disk_model) ? 0 : -1;
}

constexpr const char* module_doc =
    "The textbook thin disk as a one-zone closure: gas pressure, radiative cooling.\n\n"
    "ThinClosure installs its closure and writer in the one-zone disk framework,\n"
    "so that solve_profile, evolve and the branch-aware thermal solve run it as\n"
    "they run the advective model.\n\n"
    "Examples\n--------\n"
    ">>> from velmora.dynamics.accretion.one_zone.closure import model_info\n"
    ">>> from velmora.dynamics.accretion.one_zone.models._thin import ThinClosure\n"
    ">>> model_info(ThinClosure())[\"name\"]\n"
    "'thin'";

}  // namespace
}  // namespace velmora::disk

VELMORA_MODULE(_thin, velmora::disk::module_doc, "velmora/dynamics/accretion/one_zone/models/_thin.cpp",
               velmora::disk::exec_thin)

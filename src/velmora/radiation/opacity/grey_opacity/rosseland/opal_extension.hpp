// The numerical core of the covering OPAL law: a Rosseland-mean table of
// log10 kappa over (log10 T, log10 R), R = rho / T6^3, extended physically
// beyond its edges and into its holes. Plain arithmetic over doubles; the
// module _opal_extended wraps it in the interpreter's protocol.
//
// Inside the table's finite cells the law is the table law itself, evaluated
// by the same functions of grid_core.hpp. Elsewhere it is a blend, in ln kappa,
// of the table continued linearly from its edge and a physical law P:
//
//   ln kappa(q) = (1 - w) ln P(q) + w ln10 [F(p) + S(p) . (q - p)]
//
// with q = (log10 T, log10 R), p the nearest point of the table's rectangle
// (each coordinate clamped), F the table and S its gradient there (the slopes
// of the edge cell), and w = W(s), W(s) = (1 - s)^2 (1 + 2 s) for s < 1 and 0
// beyond, s = |(q - p) / (L_T, L_R)| the distance from the edge in decay
// lengths. W(0) = 1 and W'(0) = 0, so value and slope are continuous across
// every edge; at s >= 1 the law is P alone.
//
// Holes (NaN nodes) are filled once, at construction, by the same rule taken
// at the node: ln P at the node plus W(s) times the offset ln10 F - ln P at the
// nearest finite nodes (their mean when several are equally near), s the
// distance to them in decay lengths. Cells with a hole corner interpolate the
// filled table bilinearly, as the table law interpolates finite cells.
#pragma once

#include "radiation/opacity/grey_opacity/grid_core.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace velmora::opacity::extension {

using grid::Cell;
using grid::Outcome;

// ln kappa and its two logarithmic derivatives at one point.
struct LogKappa {
    double value;     // ln kappa, kappa in cm^2 g^-1
    double d_rho;     // d ln kappa / d ln rho at fixed T
    double d_T;       // d ln kappa / d ln T at fixed rho
};

// Fully ionised gas of hydrogen mass fraction X and metal fraction Z:
// Thomson scattering on (1 + X) / 2 electrons per proton mass,
// kappa_es = 0.2 (1 + X), plus Kramers' free-free absorption,
// kappa_ff = 3.68e22 (1 - Z) (1 + X) rho T^-3.5 (Gaunt factor 1; the
// composition factor is sum Z_i^2 n_i n_e over H and He).
struct IonisedGas {
    double ln_kappa_es;
    double ln_ff_over_es;  // ln(kappa_ff / kappa_es) at rho = 1, T = 1

    IonisedGas(double X, double Z) noexcept
        : ln_kappa_es(std::log(0.2 * (1.0 + X))),
          ln_ff_over_es(std::log(3.68e22 * (1.0 - Z) / 0.2)) {}

    LogKappa operator()(double log_T, double log_rho) const noexcept {
        // r = kappa_ff / kappa_es; ln(1 + r) without overflow for large r.
        const double z = ln_ff_over_es + log_rho - 3.5 * log_T;
        const double ln_one_plus_r = z > 30.0 ? z + std::log1p(std::exp(-z)) : std::log1p(std::exp(z));
        const double ff_share = z > 30.0 ? 1.0 / (1.0 + std::exp(-z)) : std::exp(z - ln_one_plus_r);
        return {ln_kappa_es + ln_one_plus_r, ff_share, -3.5 * ff_share};
    }
};

// Weight of the table's continuation at s decay lengths from the edge.
inline double edge_weight(double s) noexcept { return s < 1.0 ? (1.0 - s) * (1.0 - s) * (1.0 + 2.0 * s) : 0.0; }

// The table with its holes filled, and the decay lengths of the extension.
struct FilledTable {
    int n1 = 0, n2 = 0;
    std::vector<double> g1, g2;  // log10 T, log10 R
    std::vector<double> lk;      // log10 kappa, row-major (n1, n2), NaN holes
    std::vector<double> filled;  // the same with the holes filled
    double decay_T = 0.0;        // decay lengths [dex], as constructed
    double decay_R = 0.0;

    const double* row(int i) const noexcept { return lk.data() + static_cast<std::size_t>(i) * n2; }
    const double* filled_row(int i) const noexcept { return filled.data() + static_cast<std::size_t>(i) * n2; }

    Cell cell(int i, int j) const noexcept { return grid::make_cell(g1.data(), g2.data(), row(i), row(i + 1), i, j); }
    Cell filled_cell(int i, int j) const noexcept {
        return grid::make_cell(g1.data(), g2.data(), filled_row(i), filled_row(i + 1), i, j);
    }

    bool outside(double x, double y) const noexcept {
        return grid::outside_domain(x, y, g1[0], g1[n1 - 1], g2[0], g2[n2 - 1]);
    }

    // The cell of a point inside the domain, as the table law finds it.
    void locate(double x, double y, int& i, int& j) const noexcept {
        i = std::min(grid::bisect(g1.data(), n1, x), n1 - 2);
        j = std::min(grid::bisect(g2.data(), n2, y), n2 - 2);
    }

    // Scaled distance between two points of table coordinates.
    double distance(double dx, double dy) const noexcept { return std::hypot(dx / decay_T, dy / decay_R); }
};

// log10 kappa inside the domain, as the table law interpolates it, or from the
// filled table in a cell with a hole corner. `hole` tells which. A filled node
// the physical law left NaN (a cold law outside its own table) gives NaN, as
// that law gives just beyond the edge.
inline double interpolate_inside(const FilledTable& t, double x, double y, bool& hole) noexcept {
    int i, j;
    t.locate(x, y, i, j);
    double v = 0.0;
    hole = grid::interpolate(t.cell(i, j), x, y, v) != Outcome::value;
    if (hole && grid::interpolate(t.filled_cell(i, j), x, y, v) != Outcome::value)
        return std::numeric_limits<double>::quiet_NaN();
    return v;
}

// The two slopes inside the domain (d ln kappa / d ln rho, d ln kappa / d ln T),
// as the table law computes them in finite cells; in a cell with a hole corner
// those of the filled table, NaN where a filled node is NaN.
inline void slopes_inside(const FilledTable& t, double x, double y, double& d_rho, double& d_T) noexcept {
    int i, j;
    t.locate(x, y, i, j);
    Cell c = t.cell(i, j);
    if (grid::second_axis_slope(c, x, d_rho) == Outcome::value &&
        grid::temperature_slope<grid::OpalConvention>(c, x, y, d_T) == Outcome::value)
        return;
    c = t.filled_cell(i, j);
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (grid::second_axis_slope(c, x, d_rho) != Outcome::value) d_rho = nan;
    if (grid::temperature_slope<grid::OpalConvention>(c, x, y, d_T) != Outcome::value) d_T = nan;
}

// The table continued linearly from the edge point p: F(p), its gradient
// (S_x along log10 T at fixed log10 R, S_y along log10 R at fixed log10 T)
// and the mixed derivative of the edge cell's bilinear form.
struct EdgeContinuation {
    double f, s_x, s_y, f_xy;
};

inline EdgeContinuation continue_from(const FilledTable& t, double px, double py) noexcept {
    int i, j;
    t.locate(px, py, i, j);
    const Cell c = t.filled_cell(i, j);
    const double tt = (px - c.x0) / c.dx;
    const double u = (py - c.y0) / c.dy;
    EdgeContinuation e{};
    grid::interpolate(c, px, py, e.f);
    const double k_lo = c.f01 * u + c.f00 * (1.0 - u);
    const double k_hi = c.f11 * u + c.f10 * (1.0 - u);
    e.s_x = (k_hi - k_lo) / c.dx;
    const double k_a = tt * c.f10 + (1.0 - tt) * c.f00;
    const double k_b = tt * c.f11 + (1.0 - tt) * c.f01;
    e.s_y = (k_b - k_a) / c.dy;
    e.f_xy = (c.f11 - c.f10 - c.f01 + c.f00) / (c.dx * c.dy);
    return e;
}

// The blend outside the domain at table coordinates (x, y), given the
// physical law there (natural logs). Derivatives follow from
// x = ln T / ln10 and y = ln rho / ln10 - 3 (x - 6):
// d/d ln rho = (1/ln10) d/dy, d/d ln T = (1/ln10) (d/dx - 3 d/dy).
inline LogKappa blend_outside(const FilledTable& t, double x, double y, const LogKappa& phys,
                              double ln10) noexcept {
    const double px = std::clamp(x, t.g1[0], t.g1[t.n1 - 1]);
    const double py = std::clamp(y, t.g2[0], t.g2[t.n2 - 1]);
    const double dx = x - px;
    const double dy = y - py;
    const double s = t.distance(dx, dy);
    if (!(s < 1.0)) return phys;  // beyond the decay lengths, or infinitely far
    const EdgeContinuation e = continue_from(t, px, py);
    const double line = ln10 * (e.f + e.s_x * dx + e.s_y * dy);
    // The continuation's gradient: the edge slopes, plus the mixed term of the
    // coordinate that follows the edge.
    const double line_x = ln10 * (e.s_x + (dx == 0.0 ? e.f_xy * dy : 0.0));
    const double line_y = ln10 * (e.s_y + (dy == 0.0 ? e.f_xy * dx : 0.0));
    // The physical law's gradient in table coordinates.
    const double phys_x = ln10 * (phys.d_T + 3.0 * phys.d_rho);
    const double phys_y = ln10 * phys.d_rho;
    const double w = edge_weight(s);
    // dW/dx = W'(s) ds/dx with ds/dx = dx / (L_T^2 s); W'(s) / s = -6 (1 - s).
    const double w_over = -6.0 * (1.0 - s);
    const double w_x = w_over * dx / (t.decay_T * t.decay_T);
    const double w_y = w_over * dy / (t.decay_R * t.decay_R);
    const double gap = line - phys.value;
    const double g_x = (1.0 - w) * phys_x + w * line_x + w_x * gap;
    const double g_y = (1.0 - w) * phys_y + w * line_y + w_y * gap;
    return {(1.0 - w) * phys.value + w * line, g_y / ln10, (g_x - 3.0 * g_y) / ln10};
}

// ln T and ln rho of table node (i, j).
inline void node_logs(const FilledTable& t, int i, int j, double ln10, double& log_T, double& log_rho) noexcept {
    log_T = t.g1[i] * ln10;
    log_rho = (t.g2[j] + 3.0 * (t.g1[i] - 6.0)) * ln10;
}

// Fills the holes of `t.filled` (a copy of lk) node by node; `phys(log_T,
// log_rho, out)` evaluates the physical law and returns false on failure.
// Returns false when `phys` failed.
template <typename Phys>
bool fill_holes(FilledTable& t, double ln10, Phys&& phys) {
    struct Finite {
        int i, j;
        double offset;  // ln10 log10 kappa - ln P at the node
    };
    std::vector<Finite> finite;
    for (int i = 0; i < t.n1; ++i)
        for (int j = 0; j < t.n2; ++j) {
            const double v = t.row(i)[j];
            if (std::isnan(v)) continue;
            double log_T, log_rho;
            node_logs(t, i, j, ln10, log_T, log_rho);
            LogKappa p{};
            if (!phys(log_T, log_rho, p)) return false;
            finite.push_back({i, j, ln10 * v - p.value});
        }
    t.filled = t.lk;
    for (int i = 0; i < t.n1; ++i)
        for (int j = 0; j < t.n2; ++j) {
            if (!std::isnan(t.row(i)[j])) continue;
            double nearest = INFINITY;
            double sum = 0.0;
            int count = 0;
            for (const Finite& f : finite) {
                const double d = t.distance(t.g1[i] - t.g1[f.i], t.g2[j] - t.g2[f.j]);
                if (d < nearest * (1.0 - 1e-12)) {
                    nearest = d;
                    sum = 0.0;
                    count = 0;
                }
                if (d <= nearest * (1.0 + 1e-12)) {
                    sum += f.offset;
                    ++count;
                }
            }
            double log_T, log_rho;
            node_logs(t, i, j, ln10, log_T, log_rho);
            LogKappa p{};
            if (!phys(log_T, log_rho, p)) return false;
            // Beyond the decay length the physics alone, whatever the
            // offset (NaN where the physical law gave none at the node).
            const double w = edge_weight(nearest);
            t.filled[static_cast<std::size_t>(i) * t.n2 + j] = (w > 0.0 ? p.value + w * (sum / count) : p.value) / ln10;
        }
    return true;
}

}  // namespace velmora::opacity::extension

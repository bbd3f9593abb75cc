// The limit for the table laws: the same numerical core as
// C_OPALGridOpacity and C_TOPSGridOpacity (coordinate mapping, domain test,
// bisection, cell, interpolation and slopes from grid_core.hpp), in a bare
// loop over plain arrays, with no operation-table dispatch and no
// pending-exception tests. Built by `make bench` and loaded with ctypes; it is
// not part of the package.
//
// Points outside the domain and cells with holes give NaN here: the
// benchmark evaluates inside a table without holes, where every mode of the
// laws returns the interpolant.
#include "radiation/opacity/grey_opacity/grid_core.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

namespace grid = velmora::opacity::grid;

struct PlainTable {
    const double* g1;     // log10 T grid, n1 nodes
    const double* g2;     // second-coordinate grid, n2 nodes
    const double* lk;     // log10 kappa, rows along g1
    long long row_items;  // row stride of lk, in items
    int n1;
    int n2;
    double ln10;
};

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

template <typename Convention>
struct Bare {
    struct Point {
        double x, y;
        int i, j;
    };

    // Table coordinates and cell; false outside the domain.
    static bool locate(const PlainTable& t, double log_T, double log_rho, Point& p) noexcept {
        p.x = log_T / t.ln10;
        p.y = Convention::second_coordinate(log_rho, p.x, t.ln10);
        if (grid::outside_domain(p.x, p.y, t.g1[0], t.g1[t.n1 - 1], t.g2[0], t.g2[t.n2 - 1])) return false;
        p.i = std::min(grid::bisect(t.g1, t.n1, p.x), t.n1 - 2);
        p.j = std::min(grid::bisect(t.g2, t.n2, p.y), t.n2 - 2);
        return true;
    }

    static grid::Cell cell(const PlainTable& t, const Point& p) noexcept {
        const double* row = t.lk + p.i * t.row_items;
        return grid::make_cell(t.g1, t.g2, row, row + t.row_items, p.i, p.j);
    }

    static double log_opacity(const PlainTable& t, double log_T, double log_rho) noexcept {
        Point p;
        double v = 0.0;
        if (!locate(t, log_T, log_rho, p) || grid::interpolate(cell(t, p), p.x, p.y, v) != grid::Outcome::value)
            return nan_value;
        return v * t.ln10;
    }

    static double opacity(const PlainTable& t, double rho, double T) noexcept {
        const double log_T = std::log(T);
        const double log_rho = std::log(rho);
        return std::exp(log_opacity(t, log_T, log_rho));
    }

    static double dlogkappa_dlogrho(const PlainTable& t, double log_T, double log_rho) noexcept {
        Point p;
        double v = 0.0;
        if (!locate(t, log_T, log_rho, p) ||
            grid::second_axis_slope(cell(t, p), p.x, v) != grid::Outcome::value)
            return nan_value;
        return v;
    }

    static double dlogkappa_dlogT(const PlainTable& t, double log_T, double log_rho) noexcept {
        Point p;
        double v = 0.0;
        if (!locate(t, log_T, log_rho, p) ||
            grid::temperature_slope<Convention>(cell(t, p), p.x, p.y, v) != grid::Outcome::value)
            return nan_value;
        return v;
    }

    template <double (*Op)(const PlainTable&, double, double)>
    static void loop(const PlainTable& t, const double* a, const double* b, double* out, int n) noexcept {
        for (int k = 0; k < n; ++k) out[k] = Op(t, a[k], b[k]);
    }

    static int run(const PlainTable& t, int method, const double* a, const double* b, double* out,
                   int n) noexcept {
        switch (method) {
            case 0: loop<&opacity>(t, a, b, out, n); return 0;
            case 1: loop<&log_opacity>(t, a, b, out, n); return 0;
            case 2: loop<&dlogkappa_dlogrho>(t, a, b, out, n); return 0;
            case 3: loop<&dlogkappa_dlogT>(t, a, b, out, n); return 0;
            default: return -1;
        }
    }
};

}  // namespace

// convention 0 OPAL, 1 TOPS; method 0 opacity (a = rho, b = T), 1 log_opacity,
// 2 dlogkappa_dlogrho, 3 dlogkappa_dlogT (a = ln T, b = ln rho). Returns 0, or
// -1 for an unknown convention or method.
extern "C" __attribute__((visibility("default"))) int bare_table_kernel(const PlainTable* t, int convention,
                                                                        int method, const double* a,
                                                                        const double* b, double* out, int n) {
    switch (convention) {
        case 0: return Bare<grid::OpalConvention>::run(*t, method, a, b, out, n);
        case 1: return Bare<grid::TopsConvention>::run(*t, method, a, b, out, n);
        default: return -1;
    }
}

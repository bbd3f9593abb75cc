// The numerical cores of the table opacity laws, plain arithmetic over
// doubles with no interpreter calls: the cell search, the domain test,
// bilinear interpolation and its slopes, the two table conventions (the
// second coordinate from ln rho), and the nearest finite entry to a node.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace velmora::opacity::grid {

// ---------------------------------------------------------------------------
// Numerical cores: plain arithmetic over doubles, no interpreter calls.

// Points this close outside the grid (in log10 units) still count as inside
// and are extrapolated linearly from the edge cell.
inline constexpr double domain_tolerance = 1e-9;

// Cell index along one axis, in [0, n - 2]: the last node at or below x. An
// interior node k gives k (the cell that begins there), the last node gives
// n - 2; below grid[1] gives 0, and so does NaN, which no comparison passes.
//
// The halving of [lo, hi] runs without branches on the comparison, and a
// fixed ceil(log2(n - 1)) times for a given n: table lookups at scattered
// points make the comparison a coin toss, and its mispredictions would cost
// more than the arithmetic. Once hi - lo <= 1, a further round has mid = lo
// and leaves lo unchanged, so the result is that of halving until
// lo >= hi - 1, for any grid and any x.
inline int bisect(const double* grid, int n, double x) noexcept {
    if (n - 2 <= 0) return 0;
    int lo = 0;
    int hi = n - 1;
    for (int round = std::bit_width(static_cast<unsigned>(n - 2)); round > 0; --round) {
        // floor((lo + hi) / 2); hi >= lo always, so the halving is a shift
        const int mid = lo + static_cast<int>(static_cast<unsigned>(hi - lo) >> 1);
        const bool above = x >= grid[mid];
        // Two conditional moves on the flags of the one comparison.
        lo = above ? mid : lo;
        hi = above ? hi : mid;
    }
    return lo;
}

// Outside the table domain (a NaN coordinate passes every test: inside).
inline bool outside_domain(double x, double y, double x_first, double x_last, double y_first,
                           double y_last) noexcept {
    return x < x_first - domain_tolerance || x > x_last + domain_tolerance || y < y_first - domain_tolerance ||
           y > y_last + domain_tolerance;
}

// The four corners of cell (i, j), log10 kappa at (i, j), (i+1, j), (i, j+1),
// (i+1, j+1), and the cell's origin and widths along both axes.
struct Cell {
    double f00, f10, f01, f11;
    double x0, dx;
    double y0, dy;
};

// Cell (i, j) of a table given by its two grids and its rows i and i + 1.
inline Cell make_cell(const double* g1, const double* g2, const double* row_i, const double* row_next, int i,
                      int j) noexcept {
    return Cell{row_i[j], row_next[j], row_i[j + 1], row_next[j + 1], g1[i], g1[i + 1] - g1[i], g2[j],
                g2[j + 1] - g2[j]};
}

enum class Outcome {
    value,       // the result was written
    hole,        // a NaN corner entered the result
    zero_width,  // a division by a cell width of exactly zero
};

// log10 kappa interpolated bilinearly at (x, y); t and u are not clamped, so
// points just outside the edge cell are extrapolated.
inline Outcome interpolate(const Cell& c, double x, double y, double& out) noexcept {
    if (std::isnan(c.f00) || std::isnan(c.f10) || std::isnan(c.f01) || std::isnan(c.f11)) return Outcome::hole;
    if (c.dx == 0.0) return Outcome::zero_width;
    const double t = (x - c.x0) / c.dx;
    if (c.dy == 0.0) return Outcome::zero_width;
    const double u = (y - c.y0) / c.dy;
    out = ((1.0 - t) * c.f00) * (1.0 - u) + (t * c.f10) * (1.0 - u) + ((1.0 - t) * c.f01) * u + (t * c.f11) * u;
    return Outcome::value;
}

// Slope of the interpolant along the second axis at fixed T. It is a ratio of
// two base-10 log differences, equal to the ratio of the natural-log ones, so
// it is already the logarithmic derivative: no factor of ln 10 enters.
inline Outcome second_axis_slope(const Cell& c, double x, double& out) noexcept {
    if (c.dx == 0.0) return Outcome::zero_width;
    const double t = (x - c.x0) / c.dx;
    const double k_a = t * c.f10 + (1.0 - t) * c.f00;  // along T on column j
    const double k_b = t * c.f11 + (1.0 - t) * c.f01;  // along T on column j+1
    if (std::isnan(k_a) || std::isnan(k_b)) return Outcome::hole;
    if (c.dy == 0.0) return Outcome::zero_width;
    out = (k_b - k_a) / c.dy;
    return Outcome::value;
}

// d ln kappa / d ln T at fixed rho: the slope along log10 T at fixed second
// coordinate, carried to fixed density by the law's chain-rule term.
template <typename Law>
Outcome temperature_slope(const Cell& c, double x, double y, double& out) noexcept {
    if (c.dy == 0.0) return Outcome::zero_width;
    const double u = (y - c.y0) / c.dy;
    const double k_lo = c.f01 * u + c.f00 * (1.0 - u);  // along the second axis on row i
    const double k_hi = c.f11 * u + c.f10 * (1.0 - u);  // on row i+1
    if (std::isnan(k_lo) || std::isnan(k_hi)) return Outcome::hole;
    if (c.dx == 0.0) return Outcome::zero_width;
    const double s_T = (k_hi - k_lo) / c.dx;
    return Law::at_fixed_density(c, x, s_T, out);
}

// The two table conventions: the second coordinate from ln rho and
// x = log10 T, and the chain-rule term that carries the slope s_T along
// log10 T at fixed second coordinate to d ln kappa / d ln T at fixed rho.

// OPAL: log10 R = log10 rho - 3 (log10 T - 6), with T6 = 1e-6 T.
struct OpalConvention {
    static double second_coordinate(double log_rho, double x, double ln10) noexcept {
        return log_rho / ln10 - (x - 6.0) * 3.0;
    }

    // At fixed rho, d log10 R / d log10 T = -3, so the slope along R enters
    // three times: d ln kappa / d ln T = s_T - 3 d ln kappa / d log10 R.
    static Outcome at_fixed_density(const Cell& c, double x, double s_T, double& out) noexcept {
        double s_R = 0.0;
        const Outcome o = second_axis_slope(c, x, s_R);
        if (o == Outcome::value) out = s_T - s_R * 3.0;
        return o;
    }
};

// TOPS: the second axis is log10 rho itself.
struct TopsConvention {
    static double second_coordinate(double log_rho, double, double ln10) noexcept { return log_rho / ln10; }

    // At fixed second coordinate the density is fixed: no chain-rule term.
    static Outcome at_fixed_density(const Cell&, double, double s_T, double& out) noexcept {
        out = s_T;
        return Outcome::value;
    }
};

// The finite table entry nearest to node (i0, j0): square rings of growing
// Chebyshev radius, clipped to the table, each scanned row by row and within
// a row by ascending column, so ties go to the smallest row, then column.
// Only the nodes on the ring are visited; the order is that of a full scan
// of the ring's bounding square. NaN when the table holds no finite entry.
// `row(i)` gives row i of the (n1, n2) table, its columns as consecutive items.
template <typename Rows>
double nearest_finite(const Rows& row, int n1, int n2, int i0, int j0) noexcept {
    const long long rows = n1;
    const long long cols = n2;
    for (long long d = 0; d < rows + cols; ++d) {
        const long long i_lo = std::max<long long>(i0 - d, 0);
        const long long i_hi = std::min<long long>(i0 + d, rows - 1);
        const long long j_lo = std::max<long long>(j0 - d, 0);
        const long long j_hi = std::min<long long>(j0 + d, cols - 1);
        for (long long ii = i_lo; ii <= i_hi; ++ii) {
            const bool ring_row = (ii > i0 ? ii - i0 : i0 - ii) == d;
            if (ring_row) {
                for (long long jj = j_lo; jj <= j_hi; ++jj) {
                    const double v = row(ii)[jj];
                    if (!std::isnan(v)) return v;
                }
                continue;
            }
            // Off the ring's top and bottom rows only its two sides lie on it.
            for (long long jj : {j0 - d, j0 + d}) {
                if (jj < j_lo || jj > j_hi) continue;
                const double v = row(ii)[jj];
                if (!std::isnan(v)) return v;
            }
        }
    }
    return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace velmora::opacity::grid

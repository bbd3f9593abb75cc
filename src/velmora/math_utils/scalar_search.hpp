// Searches along one real variable, plain C++ over doubles, for callers that
// hold a guaranteed bracket and want the answer to machine precision: Brent's
// zero-in on a sign change and Brent's local minimum (golden section with
// parabolic steps), after R. P. Brent, "Algorithms for Minimization without
// Derivatives" (1973), and a downhill walk that brackets a local minimum.
//
// The function is a callable `bool f(double x, double& fx)`; false means it
// failed (its caller keeps the reason), and the search stops with false.
// Unlike the package's bracket solver, whose steps are fixed to the letter
// for its callers, these never divide by zero on a valid bracket and stop on
// a tolerance relative to x.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace velmora::math_utils {

// A root of f in the bracket [a, b] with fa = f(a), fb = f(b) of opposite
// signs (or one of them 0), to within 4 eps |x| + tol.
template <typename F>
bool zero_in(F&& f, double a, double b, double fa, double fb, double tol, double& root) {
    constexpr double eps = std::numeric_limits<double>::epsilon();
    if (fa == 0.0) {
        root = a;
        return true;
    }
    double c = a, fc = fa, d = b - a, e = d;
    for (int iter = 0; iter < 200; ++iter) {
        if ((fb > 0.0 && fc > 0.0) || (fb < 0.0 && fc < 0.0)) {
            c = a;
            fc = fa;
            d = e = b - a;
        }
        if (std::abs(fc) < std::abs(fb)) {
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        const double tol1 = 2.0 * eps * std::abs(b) + 0.5 * tol;
        const double xm = 0.5 * (c - b);
        if (std::abs(xm) <= tol1 || fb == 0.0) break;
        if (std::abs(e) >= tol1 && std::abs(fa) > std::abs(fb)) {
            // Inverse quadratic interpolation, or the secant step.
            double p, q;
            const double s = fb / fa;
            if (a == c) {
                p = 2.0 * xm * s;
                q = 1.0 - s;
            } else {
                const double qa = fa / fc, r = fb / fc;
                p = s * (2.0 * xm * qa * (qa - r) - (b - a) * (r - 1.0));
                q = (qa - 1.0) * (r - 1.0) * (s - 1.0);
            }
            if (p > 0.0)
                q = -q;
            else
                p = -p;
            const double e_old = e;
            e = d;
            if (2.0 * p < 3.0 * xm * q - std::abs(tol1 * q) && p < std::abs(0.5 * e_old * q)) {
                d = p / q;
            } else {
                d = xm;
                e = d;
            }
        } else {
            d = xm;
            e = d;
        }
        a = b;
        fa = fb;
        b += std::abs(d) > tol1 ? d : std::copysign(tol1, xm);
        if (!f(b, fb)) return false;
    }
    root = b;
    return true;
}

struct Minimum {
    double x, f;
};

// The local minimum of f inside [a, b], to within about sqrt(eps) |x| + tol
// (the value then to about eps relative: it is flat there).
template <typename F>
bool local_minimum(F&& f, double a, double b, double tol, Minimum& out) {
    const double golden = 0.5 * (3.0 - std::sqrt(5.0));
    const double sqrt_eps = std::sqrt(std::numeric_limits<double>::epsilon());
    double x = a + golden * (b - a), w = x, v = x;
    double fx;
    if (!f(x, fx)) return false;
    double fw = fx, fv = fx, d = 0.0, e = 0.0;
    for (int iter = 0; iter < 200; ++iter) {
        const double xm = 0.5 * (a + b);
        const double tol1 = sqrt_eps * std::abs(x) + tol / 3.0, tol2 = 2.0 * tol1;
        if (std::abs(x - xm) <= tol2 - 0.5 * (b - a)) break;
        bool golden_step = true;
        if (std::abs(e) > tol1) {
            // A parabola through x, w and v.
            double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0)
                p = -p;
            else
                q = -q;
            r = e;
            e = d;
            if (std::abs(p) < std::abs(0.5 * q * r) && p > q * (a - x) && p < q * (b - x)) {
                d = p / q;
                const double u = x + d;
                if (u - a < tol2 || b - u < tol2) d = std::copysign(tol1, xm - x);
                golden_step = false;
            }
        }
        if (golden_step) {
            e = x >= xm ? a - x : b - x;
            d = golden * e;
        }
        const double u = x + (std::abs(d) >= tol1 ? d : std::copysign(tol1, d));
        double fu;
        if (!f(u, fu)) return false;
        if (fu <= fx) {
            (u >= x ? a : b) = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            (u < x ? a : b) = u;
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    out = {x, fx};
    return true;
}

// Walks downhill from x0 (first step `step`, growing by the golden ratio)
// until f rises again, within [lo, hi]. On success [a, b] holds a local
// minimum of f in its interior; `found` is false when the walk reached lo or
// hi still going down (no interior minimum on that side).
template <typename F>
bool bracket_minimum(F&& f, double x0, double step, double lo, double hi, double& a, double& b, bool& found) {
    found = false;
    double f0, f1;
    if (!f(x0, f0)) return false;
    double x1 = std::min(hi, std::max(lo, x0 + step));
    if (x1 == x0) x1 = std::min(hi, std::max(lo, x0 - step));
    if (!f(x1, f1)) return false;
    if (f1 > f0) {
        // Downhill lies the other way.
        std::swap(x0, x1);
        std::swap(f0, f1);
    }
    double dx = x1 - x0;
    for (int iter = 0; iter < 200; ++iter) {
        dx *= 1.618033988749895;
        const double x2 = std::min(hi, std::max(lo, x1 + dx));
        if (x2 == x1) return true;  // at the end of the range, still downhill
        double f2;
        if (!f(x2, f2)) return false;
        if (f2 > f1) {
            a = std::min(x0, x2);
            b = std::max(x0, x2);
            found = true;
            return true;
        }
        x0 = x1;
        f0 = f1;
        x1 = x2;
        f1 = f2;
    }
    return true;
}

}  // namespace velmora::math_utils

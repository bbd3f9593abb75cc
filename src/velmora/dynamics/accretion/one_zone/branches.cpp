// Thermal branches of a one-zone ring: the scan of a model's energy balance,
// the labels of its stable roots, and the following of one branch.
#include "dynamics/accretion/one_zone/branches.hpp"

#include "math_utils/scalar_search.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace velmora::disk::thermal {

namespace {

// f, or -f for a maximum: the function whose minimum is the extremum sought.
auto toward(Balance& f, bool maximum) {
    return [&f, maximum](double x, double& gx) {
        if (!f(x, gx)) return false;
        if (maximum) gx = -gx;
        return true;
    };
}

}  // namespace

bool refine_extremum(Balance& f, double x0, bool maximum, Extremum& out, bool& found) {
    auto g = toward(f, maximum);
    double a = x0, b = x0;
    if (!math_utils::bracket_minimum(g, x0, 0.02, f.lo(), f.hi(), a, b, found)) return false;
    if (!found) return true;
    math_utils::Minimum m;
    if (!math_utils::local_minimum(g, a, b, 0.0, m)) return false;
    out = {m.x, maximum ? -m.f : m.f, maximum};
    return true;
}

namespace {

struct Node {
    double x, f;
};

// A branch that lost its bounding extremum altogether (the fold of f has
// vanished): the stable root nearest to the last one, from a scan.
Follow rescan(Balance& f, const Branch& from, Branch& out) {
    Structure s;
    if (!scan(f, s)) return Follow::failed;
    const int k = s.nearest_stable(from.root);
    if (k < 0) return Follow::no_root;
    out = s.branch_of(k, f.lo(), f.hi());
    return Follow::ok;
}

}  // namespace

const char* label_name(Label label) {
    switch (label) {
        case Label::thin: return "thin";
        case Label::middle: return "middle";
        case Label::thick: return "thick";
        case Label::single: return "single";
    }
    return "single";
}

bool scan(Balance& f, Structure& out) {
    constexpr int n = scan_intervals;
    const double lo = f.lo(), hi = f.hi();
    out = Structure{};
    std::array<double, n + 1> xs, fs;
    std::array<Node, n + 1 + max_features> nodes;
    int n_nodes = 0;
    for (int i = 0; i <= n; ++i) {
        xs[i] = i == n ? hi : lo + (hi - lo) * i / n;
        if (!f(xs[i], fs[i])) return false;
        nodes[n_nodes++] = {xs[i], fs[i]};
    }
    // Turning points of the samples, refined into the extrema of f; a turn
    // within the rounding of f (where it is flat, near 1 at the cool end) is
    // not one.
    for (int i = 1; i < n && out.n_extrema < max_features; ++i) {
        const double noise = 64.0 * std::numeric_limits<double>::epsilon() * std::max(1.0, std::abs(fs[i]));
        const bool maximum = fs[i] - fs[i - 1] > noise && fs[i] - fs[i + 1] > noise;
        const bool minimum = fs[i - 1] - fs[i] > noise && fs[i + 1] - fs[i] > noise;
        if (!maximum && !minimum) continue;
        math_utils::Minimum m;
        if (!math_utils::local_minimum(toward(f, maximum), xs[i - 1], xs[i + 1], 0.0, m)) return false;
        Extremum e{m.x, maximum ? -m.f : m.f, maximum};
        if (maximum ? fs[i] > e.f : fs[i] < e.f) e = {xs[i], fs[i], maximum};
        out.extrema[out.n_extrema++] = e;
        nodes[n_nodes++] = {e.x, e.f};
    }
    std::sort(out.extrema, out.extrema + out.n_extrema,
              [](const Extremum& a, const Extremum& b) { return a.x < b.x; });
    std::sort(nodes.begin(), nodes.begin() + n_nodes, [](const Node& a, const Node& b) { return a.x < b.x; });
    // Between consecutive nodes f is monotone: one root at most.
    for (int k = 0; k + 1 < n_nodes && out.n_roots < max_features; ++k) {
        const Node a = nodes[k], b = nodes[k + 1];
        const bool falls = a.f > 0.0 && b.f <= 0.0;
        const bool rises = a.f < 0.0 && b.f >= 0.0;
        if (!falls && !rises) continue;  // no sign change, or a NaN
        double root = b.x;
        if (b.f != 0.0 && !math_utils::zero_in(f, a.x, b.x, a.f, b.f, 0.0, root)) return false;
        out.roots[out.n_roots++] = {root, falls};
    }
    return true;
}

int Structure::n_stable() const {
    int m = 0;
    for (int i = 0; i < n_roots; ++i) m += roots[i].stable;
    return m;
}

int Structure::pick(Choice choice) const {
    int first = -1, last = -1;
    for (int i = 0; i < n_roots; ++i) {
        if (!roots[i].stable) continue;
        if (first < 0) first = i;
        last = i;
    }
    if (first < 0) return -1;
    switch (choice) {
        case Choice::hottest: return last;
        case Choice::coolest: return first;
        case Choice::thick: {
            const Label l = label(last);
            return l == Label::thick || l == Label::single ? last : -1;
        }
        case Choice::thin: {
            const Label l = label(first);
            return l == Label::thin || l == Label::single ? first : -1;
        }
    }
    return -1;
}

Label Structure::label(int root_index) const {
    int rank = 0, m = 0;
    for (int i = 0; i < n_roots; ++i) {
        if (!roots[i].stable) continue;
        if (i < root_index) ++rank;
        ++m;
    }
    if (m >= 2) return rank == 0 ? Label::thin : rank == m - 1 ? Label::thick : Label::middle;
    const double x = roots[root_index].x;
    bool fold_above = false, fold_below = false;
    for (int i = 0; i < n_extrema; ++i) (extrema[i].x > x ? fold_above : fold_below) = true;
    if (fold_above && fold_below) return Label::middle;
    if (fold_above) return Label::thin;
    if (fold_below) return Label::thick;
    return Label::single;
}

Label Structure::label_at(double x, double width) const {
    int above = 0, below = 0;
    for (int i = 0; i < n_roots; ++i) {
        if (!roots[i].stable) continue;
        above += roots[i].x > x + width;
        below += roots[i].x < x - width;
    }
    if (above && below) return Label::middle;
    if (above) return Label::thin;
    if (below) return Label::thick;
    return Label::single;
}

Branch Structure::branch_of(int root_index, double lo, double hi) const {
    Branch b;
    b.root = roots[root_index].x;
    b.lo = lo;
    b.hi = hi;
    for (int i = 0; i < n_extrema; ++i) {
        const Extremum& e = extrema[i];
        if (e.x < b.root && (!b.lo_is_extremum || e.x > b.lo)) {
            b.lo = e.x;
            b.lo_is_extremum = true;
        } else if (e.x > b.root && (!b.hi_is_extremum || e.x < b.hi)) {
            b.hi = e.x;
            b.hi_is_extremum = true;
        }
    }
    return b;
}

int Structure::next_stable(double x, bool downward) const {
    int best = -1;
    for (int i = 0; i < n_roots; ++i) {
        if (!roots[i].stable) continue;
        const double r = roots[i].x;
        if (downward ? r < x && (best < 0 || r > roots[best].x) : r > x && (best < 0 || r < roots[best].x))
            best = i;
    }
    return best;
}

int Structure::nearest_stable(double x) const {
    int best = -1;
    for (int i = 0; i < n_roots; ++i) {
        if (!roots[i].stable) continue;
        if (best < 0 || std::abs(roots[i].x - x) < std::abs(roots[best].x - x)) best = i;
    }
    return best;
}

namespace {

enum class End { ok, ended, no_root, vanished, failed };

// One end of a branch's bracket, where f must keep its sign: f > 0 at the
// lower end (the bounding maximum, or the cool end of the range), f < 0 at
// the upper one. An extremum that lost its sign where it was last seen is
// found again near there; if it has crossed zero, the branch has ended.
End bracket_end(Balance& f, double x, bool is_extremum, bool lower, double& at, double& f_at) {
    at = x;
    if (!f(at, f_at)) return End::failed;
    auto holds = [&] { return lower ? f_at > 0.0 : f_at < 0.0; };
    if (holds()) return End::ok;
    if (!is_extremum) return End::no_root;
    Extremum m;
    bool found;
    if (!refine_extremum(f, x, lower, m, found)) return End::failed;
    if (!found) return End::vanished;
    at = m.x;
    f_at = m.f;
    return holds() ? End::ok : End::ended;
}

// What an end that does not hold means for the branch; an ended branch
// keeps where its bounding extremum lies.
Follow broken_end(End e, bool lower, double at, Balance& f, const Branch& from, Branch& out) {
    switch (e) {
        case End::ended:
            (lower ? out.lo : out.hi) = at;
            return lower ? Follow::ended_below : Follow::ended_above;
        case End::no_root: return Follow::no_root;
        case End::failed: return Follow::failed;
        case End::vanished:
        case End::ok: break;
    }
    return rescan(f, from, out);
}

}  // namespace

Follow follow(Balance& f, const Branch& from, Branch& out) {
    out = from;
    double a, fa, b, fb;
    const End low = bracket_end(f, from.lo_is_extremum ? from.lo : f.lo(), from.lo_is_extremum, true, a, fa);
    if (low != End::ok) return broken_end(low, true, a, f, from, out);
    const End high = bracket_end(f, from.hi_is_extremum ? from.hi : f.hi(), from.hi_is_extremum, false, b, fb);
    if (high != End::ok) return broken_end(high, false, b, f, from, out);
    if (!(a < b)) return rescan(f, from, out);
    double root;
    if (!math_utils::zero_in(f, a, b, fa, fb, 0.0, root)) return Follow::failed;
    out.root = root;
    out.lo = a;
    out.hi = b;
    return Follow::ok;
}

}  // namespace velmora::disk::thermal

// Thermal branches of a one-zone ring: the roots of a model's energy balance
// f(ln T_c) between its temperature limits, and the branch each stable root
// lies on.
//
// f is heating minus cooling over heating; it is positive at the coolest
// temperature and negative at the hottest, so it has an odd number of roots.
// A root where f falls as T rises is stable (a hotter ring cools, a cooler
// one heats up), one where it rises is unstable. Between two roots f has an
// extremum, and the stretches where f falls, from one extremum to the next,
// are the branches: each holds at most one root, and a bracket between its
// two bounding extrema (or the ends of the range) can only ever find that
// one. A branch ends where the extremum that bounds it crosses zero: its
// stable root and the unstable one beyond that extremum merge and vanish (a
// saddle-node), and the disk falls onto the next stable root on that side.
//
// Two ways in:
// - scan: the whole structure of one ring, from f sampled on a fixed grid
//   of `scan_intervals` steps in ln T (about 0.05) whose turning points are
//   refined into extrema; roots are then found between consecutive samples
//   and extrema, where f is monotone. Features of f narrower than a grid step
//   that do not show as a turning point of the samples are not seen.
// - follow: one branch from one state to a nearby one, from the bracket of
//   the last solution: two evaluations and a zero-in while the old bracket
//   still holds, a refinement of the bounding extremum when it does not, and
//   the report that the branch has ended when that extremum has crossed zero.
#pragma once

#include "dynamics/accretion/one_zone/disk_model.hpp"

#include "_runtime/errors.hpp"

namespace velmora::disk::thermal {

// The model's balance at one ring, evaluated with the failure convention: a
// failed evaluation leaves the model's exception pending (or returns a
// status without one, kept for the report).
class Balance {
public:
    Balance(const ThermalModel& model, ThermalContext& ctx) : model_(model), ctx_(ctx) {}

    bool operator()(double x, double& f) {
        ++evaluations_;
        status_ = model_.residual(x, ctx_.data(), &f);
        return status_ == 0 && !rt::exception_pending();
    }

    double lo() const { return model_.ln_T_min; }
    double hi() const { return model_.ln_T_max; }
    long evaluations() const { return evaluations_; }
    int status() const { return status_; }

private:
    const ThermalModel& model_;
    ThermalContext& ctx_;
    long evaluations_ = 0;
    int status_ = 0;
};

inline constexpr int scan_intervals = 600;
inline constexpr int max_features = 64;  // roots, and extrema, kept by a scan

struct Root {
    double x;
    bool stable;
};

struct Extremum {
    double x, f;
    bool maximum;
};

// A branch as the drivers follow it: its last root and the ends of its
// bracket, each either a bounding extremum or an end of the range.
struct Branch {
    double root = 0.0;
    double lo = 0.0, hi = 0.0;
    bool lo_is_extremum = false, hi_is_extremum = false;
};

// Names a branch can be asked for.
enum class Choice { hottest, thick, thin, coolest };

// Labels of a stable root: the coolest of several is on the thin branch, the
// hottest on the thick one; one between them on a middle branch; a lone root
// is thin when a vanished branch (a fold of f that reaches no root) lies on
// its hot side, thick when one lies on its cool side, and "single" where f
// has no fold at all.
enum class Label { thin, middle, thick, single };
const char* label_name(Label label);

struct Structure {
    int n_roots = 0, n_extrema = 0;
    Root roots[max_features];
    Extremum extrema[max_features];

    int n_stable() const;
    // Index into roots of the stable root picked by `choice`, or -1 when that
    // branch does not exist here.
    int pick(Choice choice) const;
    Label label(int root_index) const;
    // The label of a stable root at x, by the stable roots above and below it
    // (those within `width` of x are x's own): for a root at a fold, which a
    // scan may no longer resolve.
    Label label_at(double x, double width) const;
    // The branch of a stable root: bracketed by the nearest extrema.
    Branch branch_of(int root_index, double lo, double hi) const;
    // The stable root nearest to x below it (downward) or above it; -1 when
    // there is none.
    int next_stable(double x, bool downward) const;
    // The stable root nearest to x.
    int nearest_stable(double x) const;
};

// false with the model's failure pending.
bool scan(Balance& f, Structure& out);

// The extremum of f near x0: walks uphill (maximum) or downhill from x0 and
// refines it. `found` is false when the walk reached an end of the range: f
// has no such extremum on that side. false with the model's failure pending.
bool refine_extremum(Balance& f, double x0, bool maximum, Extremum& out, bool& found);

enum class Follow { ok, ended_below, ended_above, no_root, failed };

// The root of `from`'s branch at the ring `f` is prepared for, with its new
// bracket. ended_below / ended_above: the branch has ended on that side (the
// bounding extremum crossed zero; `out.lo` / `out.hi` hold where it lies);
// no_root: f has no sign change where the branch's range end should give
// one (no equilibrium at all); a vanished fold (the bounding extremum is gone
// altogether) is followed to the nearest stable root by a scan.
Follow follow(Balance& f, const Branch& from, Branch& out);

}  // namespace velmora::disk::thermal

// Dormand-Prince 5(4): an explicit embedded Runge-Kutta pair for y' = f(t, y)
// over a fixed number of positive components, plain C++ over doubles, with
// its continuous extension (dense output) and the location of the edges of
// the system's domain.
//
// The fifth-order solution is propagated; the difference with the embedded
// fourth-order one estimates the local error. The last stage of a step is
// evaluated at the step's end point (first same as last), so an accepted step
// costs six new evaluations and leaves the derivative at the new point. The
// continuous extension of Hairer, Norsett and Wanner gives y between the ends
// of the last accepted step to fourth order, so output times never shape the
// steps.
//
// Error control is relative: the components are positive physical amounts
// (a disk's mass and angular momentum), scaled by rtol * max(|y|, |y_new|),
// and the error norm is the root mean square of the scaled estimates. The
// step-size controller is the proportional-integral one of Hairer, Norsett
// and Wanner's DOPRI5 (safety 0.9, growth at most 5x, shrinking at most 10x
// per step, integral exponent 0.04).
//
// The system answers each evaluation with an `Eval`. Two answers mark a
// state the trajectory may not reach: `outside` (no solution there: a disk
// mass driven negative, a state without thermal equilibrium) and `event`
// (past an event of the system: the end of the thermal branch it follows).
// A trial step whose stage lands there bounds a window after the current
// point in which the trajectory meets that edge; the stepper then bisects the
// window (probing the rest of it after each accepted step, so that a window
// opened by a trial step that was merely too long is passed) until it is
// narrower than the event tolerance, and stops there with Outcome::event or
// Outcome::edge. The tolerance is rtol times the shortest time on which the
// state changes, y / y', so that locating the edge costs the state no more
// than one step's error.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace velmora::ode {

template <std::size_t N>
using State = std::array<double, N>;

enum class Eval {
    ok,       // derivative written
    outside,  // the state lies outside the system's domain; nothing written
    event,    // the state lies past an event of the system; nothing written
    stop,     // the system failed; it keeps the reason
};

enum class Outcome {
    accepted,        // one step accepted (step: the step's end; start: the first point)
    reached,         // the last step ended exactly at t_end
    stopped,         // an evaluation answered Eval::stop
    edge,            // the trajectory leaves the domain within the tolerance after t()
    event,           // the system's event lies within the tolerance after t()
    start_outside,   // the initial point lies outside the domain or past an event
    step_too_small,  // the step fell below the resolution of t
    too_many_steps,  // the step budget is spent
    stalled,         // too many attempts in a row failed
};

// Butcher tableau of the pair (Dormand & Prince 1980), the weights of the
// error estimate (fifth-order weights minus fourth-order ones) and those of
// the continuous extension.
namespace dp {
inline constexpr double c2 = 1.0 / 5.0, c3 = 3.0 / 10.0, c4 = 4.0 / 5.0, c5 = 8.0 / 9.0;
inline constexpr double a21 = 1.0 / 5.0;
inline constexpr double a31 = 3.0 / 40.0, a32 = 9.0 / 40.0;
inline constexpr double a41 = 44.0 / 45.0, a42 = -56.0 / 15.0, a43 = 32.0 / 9.0;
inline constexpr double a51 = 19372.0 / 6561.0, a52 = -25360.0 / 2187.0, a53 = 64448.0 / 6561.0,
                        a54 = -212.0 / 729.0;
inline constexpr double a61 = 9017.0 / 3168.0, a62 = -355.0 / 33.0, a63 = 46732.0 / 5247.0, a64 = 49.0 / 176.0,
                        a65 = -5103.0 / 18656.0;
inline constexpr double b1 = 35.0 / 384.0, b3 = 500.0 / 1113.0, b4 = 125.0 / 192.0, b5 = -2187.0 / 6784.0,
                        b6 = 11.0 / 84.0;
inline constexpr double e1 = 71.0 / 57600.0, e3 = -71.0 / 16695.0, e4 = 71.0 / 1920.0, e5 = -17253.0 / 339200.0,
                        e6 = 22.0 / 525.0, e7 = -1.0 / 40.0;
inline constexpr double d1 = -12715105075.0 / 11282082432.0, d3 = 87487479700.0 / 32700410799.0,
                        d4 = -10690763975.0 / 1880347072.0, d5 = 701980252875.0 / 199316789632.0,
                        d6 = -1453857185.0 / 822651844.0, d7 = 69997945.0 / 29380423.0;
}  // namespace dp

// Root mean square of err_i / (rtol * max(|y_i|, |y_new_i|)).
template <std::size_t N>
double error_norm(const State<N>& err, const State<N>& y, const State<N>& y_new, double rtol) {
    double sum = 0.0;
    for (std::size_t i = 0; i < N; ++i) {
        const double scale = rtol * std::max(std::abs(y[i]), std::abs(y_new[i]));
        const double r = err[i] / scale;
        sum += r * r;
    }
    return std::sqrt(sum / static_cast<double>(N));
}

// The step-size controller; `propose` turns a step's error norm into the
// next step. NaN norms count as failed steps.
class StepController {
public:
    static constexpr double safety = 0.9, max_growth = 5.0, max_shrink = 10.0, beta = 0.04;
    static constexpr double exponent = 0.2 - beta * 0.75;  // 1/5 for a fourth-order error estimate

    static bool accepts(double err) { return err <= 1.0; }

    // Next step after a step of size h with error norm err.
    double propose(double h, double err) {
        if (!std::isfinite(err)) {
            rejected_ = true;
            return h / max_shrink;
        }
        const double fac11 = std::pow(err, exponent);
        if (accepts(err)) {
            double fac = fac11 / std::pow(err_old_, beta) / safety;
            fac = std::clamp(fac, 1.0 / max_growth, max_shrink);
            double h_new = h / fac;
            if (rejected_) h_new = std::min(h_new, h);  // no growth right after a failure
            err_old_ = std::max(err, 1e-4);
            rejected_ = false;
            return h_new;
        }
        rejected_ = true;
        return h / std::min(max_shrink, fac11 / safety);
    }

private:
    double err_old_ = 1e-4;
    bool rejected_ = false;
};

// y at t_old + theta h within the last accepted step [t_old, t_old + h].
template <std::size_t N>
struct DenseStep {
    double t_old = 0.0, h = 0.0;
    State<N> r1{}, r2{}, r3{}, r4{}, r5{};

    State<N> at(double t) const {
        const double theta = (t - t_old) / h, theta1 = 1.0 - theta;
        State<N> y;
        for (std::size_t i = 0; i < N; ++i)
            y[i] = r1[i] + theta * (r2[i] + theta1 * (r3[i] + theta * (r4[i] + theta1 * r5[i])));
        return y;
    }
};

// Statistics of a run.
struct Counts {
    long accepted = 0;  // steps accepted
    long rejected = 0;  // attempts rejected by the error test or at an edge
};

// The integrator. `System` provides
//     Eval derivative(double t, const State<N>& y, State<N>& dydt);
//     void accept(double t, const State<N>& y);  // the point the stepper accepted
// and is called through nothing else. It is told explicitly which point it
// accepts; that point was evaluated by the call before (the step's last
// stage, or the start).
template <std::size_t N>
class DormandPrince5 {
public:
    static constexpr int max_failures_in_a_row = 200;

    explicit DormandPrince5(double rtol, long max_steps = 1000000) : rtol_(rtol), max_steps_(max_steps) {}

    double t() const { return t_; }
    double step() const { return h_; }
    const Counts& counts() const { return counts_; }
    // The last accepted step's continuous extension.
    const DenseStep<N>& dense() const { return dense_; }

    // Sets the initial point, evaluates its derivative and picks the first
    // step (Hairer, Norsett & Wanner's starting-step estimate), at most h_max.
    // May be called again to restart from a new point (after an event); the
    // counts carry on.
    template <typename System>
    Outcome start(System& sys, double t0, const State<N>& y0, double h_max) {
        t_ = t0;
        y_ = y0;
        has_window_ = false;
        controller_ = StepController{};
        const Eval e = sys.derivative(t_, y_, f_);
        if (e != Eval::ok) return e == Eval::stop ? Outcome::stopped : Outcome::start_outside;
        sys.accept(t_, y_);
        return initial_step(sys, h_max);
    }

    // One accepted step towards t_end (t_end > t()): Outcome::accepted, or
    // Outcome::reached when the step ended exactly at t_end. Attempts that
    // fail are retried with shorter steps within the call.
    template <typename System>
    Outcome step(System& sys, double t_end) {
        using namespace dp;
        int failures = 0;
        for (;;) {
            if (counts_.accepted + counts_.rejected >= max_steps_) return Outcome::too_many_steps;
            if (failures >= max_failures_in_a_row) return Outcome::stalled;
            double h = h_;
            if (has_window_) {
                const double rest = window_end_ - t_;
                if (rest <= event_tolerance()) return window_kind_ == Eval::event ? Outcome::event : Outcome::edge;
                h = std::min(h, halve_ ? 0.5 * rest : rest);
            }
            const bool last = t_ + 1.01 * h >= t_end;
            if (last) h = t_end - t_;
            if (!(h > std::abs(t_) * 4.0 * std::numeric_limits<double>::epsilon())) return Outcome::step_too_small;

            State<N> k2, k3, k4, k5, k6, k7, y_stage, y_new;
            auto stage = [&](double c, auto&& combine, State<N>& k) {
                for (std::size_t i = 0; i < N; ++i) y_stage[i] = y_[i] + h * combine(i);
                return sys.derivative(t_ + c * h, y_stage, k);
            };
            Eval e = stage(c2, [&](std::size_t i) { return a21 * f_[i]; }, k2);
            if (e == Eval::ok) e = stage(c3, [&](std::size_t i) { return a31 * f_[i] + a32 * k2[i]; }, k3);
            if (e == Eval::ok)
                e = stage(c4, [&](std::size_t i) { return a41 * f_[i] + a42 * k2[i] + a43 * k3[i]; }, k4);
            if (e == Eval::ok)
                e = stage(c5, [&](std::size_t i) {
                    return a51 * f_[i] + a52 * k2[i] + a53 * k3[i] + a54 * k4[i];
                }, k5);
            if (e == Eval::ok)
                e = stage(1.0, [&](std::size_t i) {
                    return a61 * f_[i] + a62 * k2[i] + a63 * k3[i] + a64 * k4[i] + a65 * k5[i];
                }, k6);
            const double t_new = last ? t_end : t_ + h;
            if (e == Eval::ok) {
                for (std::size_t i = 0; i < N; ++i)
                    y_new[i] = y_[i] + h * (b1 * f_[i] + b3 * k3[i] + b4 * k4[i] + b5 * k5[i] + b6 * k6[i]);
                e = sys.derivative(t_new, y_new, k7);
            }
            if (e == Eval::stop) return Outcome::stopped;
            if (e != Eval::ok) {
                // The trajectory meets an edge within this step.
                ++counts_.rejected;
                ++failures;
                if (!has_window_ || t_new <= window_end_) window_kind_ = e;
                window_end_ = has_window_ ? std::min(window_end_, t_new) : t_new;
                has_window_ = true;
                halve_ = true;
                continue;
            }

            State<N> err;
            for (std::size_t i = 0; i < N; ++i)
                err[i] = h * (e1 * f_[i] + e3 * k3[i] + e4 * k4[i] + e5 * k5[i] + e6 * k6[i] + e7 * k7[i]);
            const double norm = error_norm(err, y_, y_new, rtol_);
            const double h_next = controller_.propose(h, norm);
            if (!StepController::accepts(norm)) {
                ++counts_.rejected;
                ++failures;
                h_ = h_next;
                continue;
            }
            // Within a window, an accepted step is followed by a try at the
            // rest of it; the controller's own proposal is kept for after.
            h_ = h_next;
            set_dense(h, y_new, k3, k4, k5, k6, k7);
            t_ = t_new;
            y_ = y_new;
            f_ = k7;
            ++counts_.accepted;
            if (has_window_) {
                if (t_ >= window_end_) has_window_ = false;
                halve_ = false;
            }
            sys.accept(t_, y_);
            return last ? Outcome::reached : Outcome::accepted;
        }
    }

private:
    // rtol times the shortest time on which the state changes, never below
    // a few units of the resolution of t.
    double event_tolerance() const {
        double shortest = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < N; ++i)
            if (f_[i] != 0.0) shortest = std::min(shortest, std::abs(y_[i] / f_[i]));
        if (!std::isfinite(shortest)) shortest = std::abs(t_);
        return std::max(rtol_ * shortest, 8.0 * std::numeric_limits<double>::epsilon() * std::abs(t_));
    }

    void set_dense(double h, const State<N>& y_new, const State<N>& k3, const State<N>& k4, const State<N>& k5,
                   const State<N>& k6, const State<N>& k7) {
        using namespace dp;
        dense_.t_old = t_;
        dense_.h = h;
        for (std::size_t i = 0; i < N; ++i) {
            const double dy = y_new[i] - y_[i];
            const double bspl = h * f_[i] - dy;
            dense_.r1[i] = y_[i];
            dense_.r2[i] = dy;
            dense_.r3[i] = bspl;
            dense_.r4[i] = dy - h * k7[i] - bspl;
            dense_.r5[i] = h * (d1 * f_[i] + d3 * k3[i] + d4 * k4[i] + d5 * k5[i] + d6 * k6[i] + d7 * k7[i]);
        }
    }

    template <typename System>
    Outcome initial_step(System& sys, double h_max) {
        // Sizes in units of the error scale rtol |y0|.
        double dnf = 0.0, dny = 0.0;
        for (std::size_t i = 0; i < N; ++i) {
            const double scale = rtol_ * std::abs(y_[i]);
            dnf += (f_[i] / scale) * (f_[i] / scale);
            dny += (y_[i] / scale) * (y_[i] / scale);
        }
        // An Euler step that changes y by about 1 % of itself ...
        double h = (dnf <= 1e-10 || dny <= 1e-10) ? h_max : std::min(h_max, 0.01 * std::sqrt(dny / dnf));
        // ... and the change of the derivative across it.
        State<N> y1, f1;
        for (;;) {
            for (std::size_t i = 0; i < N; ++i) y1[i] = y_[i] + h * f_[i];
            const Eval e = sys.derivative(t_ + h, y1, f1);
            if (e == Eval::ok) break;
            if (e == Eval::stop) return Outcome::stopped;
            h *= 0.1;
            if (!(h > std::abs(t_) * 4.0 * std::numeric_limits<double>::epsilon())) return Outcome::step_too_small;
        }
        double der2 = 0.0;
        for (std::size_t i = 0; i < N; ++i) {
            const double d = (f1[i] - f_[i]) / (rtol_ * std::abs(y_[i]));
            der2 += d * d;
        }
        der2 = std::sqrt(der2) / h;
        const double der12 = std::max(der2, std::sqrt(dnf));
        const double h1 = der12 <= 1e-15 ? std::max(1e-6 * h_max, h * 1e-3) : std::pow(0.01 / der12, 0.2);
        h_ = std::min({100.0 * h, h1, h_max});
        return Outcome::accepted;
    }

    double rtol_;
    long max_steps_;
    double t_ = 0.0;
    double h_ = 0.0;
    State<N> y_{}, f_{};
    StepController controller_;
    DenseStep<N> dense_;
    Counts counts_;
    bool has_window_ = false, halve_ = false;
    double window_end_ = 0.0;
    Eval window_kind_ = Eval::outside;
};

}  // namespace velmora::ode

// Dormand-Prince 5(4): an explicit embedded Runge-Kutta pair for y' = f(t, y)
// over a fixed number of positive components, plain C++ over doubles.
//
// The fifth-order solution is propagated; the difference with the embedded
// fourth-order one estimates the local error. The last stage of a step is
// evaluated at the step's end point (first same as last), so an accepted step
// costs six new evaluations and leaves the derivative at the new point.
//
// Error control is relative: the components are positive physical amounts
// (a disk's mass and angular momentum), scaled by rtol * max(|y|, |y_new|),
// and the error norm is the root mean square of the scaled estimates. The
// step-size controller is the proportional-integral one of Hairer, Norsett
// and Wanner's DOPRI5 (safety 0.9, growth at most 5x, shrinking at most 10x
// per step, integral exponent 0.04).
//
// The system answers each evaluation with an `Eval`: a state outside its
// domain (a disk mass driven negative, or to a state without thermal
// equilibrium, by a trial step that is far too long) makes the stepper shrink
// the step and try again; a failure stops the run. A solution that really
// runs into the edge of the domain shrinks the step until it falls below the
// resolution of t (Outcome::step_too_small), and the system can then say why.
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
    stop,     // the system failed; it keeps the reason
};

enum class Outcome {
    reached,         // at the target time
    stopped,         // an evaluation answered Eval::stop
    start_outside,   // the initial point lies outside the system's domain
    step_too_small,  // the step fell below the resolution of t
    too_many_steps,  // the step budget is spent
};

// Butcher tableau of the pair (Dormand & Prince 1980), and the weights of the
// error estimate: the fifth-order weights minus the fourth-order ones.
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

    // A step abandoned because a stage left the system's domain.
    double shrink(double h) {
        rejected_ = true;
        return 0.25 * h;
    }

private:
    double err_old_ = 1e-4;
    bool rejected_ = false;
};

// The integrator. `System` provides
//     Eval derivative(double t, const State<N>& y, State<N>& dydt);
//     void accept();  // the last evaluation was at the new current point
// and is called through nothing else.
template <std::size_t N>
class DormandPrince5 {
public:
    explicit DormandPrince5(double rtol, long max_steps = 1000000) : rtol_(rtol), max_steps_(max_steps) {}

    double t() const { return t_; }
    const State<N>& y() const { return y_; }
    double step() const { return h_; }
    long steps() const { return n_steps_; }

    // Sets the initial point, evaluates its derivative and picks the first
    // step (Hairer, Norsett & Wanner's starting-step estimate), at most h_max.
    template <typename System>
    Outcome start(System& sys, double t0, const State<N>& y0, double h_max) {
        t_ = t0;
        y_ = y0;
        const Eval e = sys.derivative(t_, y_, f_);
        if (e != Eval::ok) return e == Eval::stop ? Outcome::stopped : Outcome::start_outside;
        sys.accept();
        return initial_step(sys, h_max);
    }

    // Advances to exactly t_target (t_target > t()): the last step is cut to
    // land on it.
    template <typename System>
    Outcome advance_to(System& sys, double t_target) {
        using namespace dp;
        while (t_ < t_target) {
            if (n_steps_ >= max_steps_) return Outcome::too_many_steps;
            ++n_steps_;
            double h = h_;
            const bool last = t_ + 1.01 * h >= t_target;
            if (last) h = t_target - t_;
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
            const double t_new = last ? t_target : t_ + h;
            if (e == Eval::ok) {
                for (std::size_t i = 0; i < N; ++i)
                    y_new[i] = y_[i] + h * (b1 * f_[i] + b3 * k3[i] + b4 * k4[i] + b5 * k5[i] + b6 * k6[i]);
                e = sys.derivative(t_new, y_new, k7);
            }
            if (e == Eval::stop) return Outcome::stopped;
            if (e == Eval::outside) {
                h_ = controller_.shrink(h);
                continue;
            }

            State<N> err;
            for (std::size_t i = 0; i < N; ++i)
                err[i] = h * (e1 * f_[i] + e3 * k3[i] + e4 * k4[i] + e5 * k5[i] + e6 * k6[i] + e7 * k7[i]);
            const double norm = error_norm(err, y_, y_new, rtol_);
            h_ = controller_.propose(h, norm);
            if (!StepController::accepts(norm)) continue;
            t_ = t_new;
            y_ = y_new;
            f_ = k7;
            sys.accept();
        }
        return Outcome::reached;
    }

private:
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
            if (!(h > 0.0)) return Outcome::step_too_small;
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
        return Outcome::reached;
    }

    double rtol_;
    long max_steps_;
    double t_ = 0.0;
    double h_ = 0.0;
    long n_steps_ = 0;
    State<N> y_{}, f_{};
    StepController controller_;
};

}  // namespace velmora::ode

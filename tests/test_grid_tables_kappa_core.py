"""The inherited scalar and vectorised wrappers of the grey base, on the table
laws (a base instance cannot get past its unimplemented slots)."""

import math

import numpy as np
import pytest

from capi_helpers import frame_names
from grid_tables_reference import LAWS, logs_for, random_table

BASE = "velmora.radiation.opacity.kappa_core.C_GreyKappaCore."


@pytest.fixture(params=list(LAWS))
def law(request):
    return LAWS[request.param]


def points(law, g1, g2, n=60, seed=31):
    rng = np.random.default_rng(seed)
    lt, lr = np.array([logs_for(law, x, y) for x, y in zip(rng.uniform(g1[0] - 0.3, g1[-1] + 0.3, n),
                                                            rng.uniform(g2[0] - 0.3, g2[-1] + 0.3, n))]).T
    return lt.copy(), lr.copy()


def same_array(a, b):
    return a.dtype == np.float64 and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def test_opacity_is_exp_of_log_opacity(law):
    g1, g2, lk = random_table(32)
    obj = law["cls"](g1, g2, lk, 2)
    for lt, lr in zip(*points(law, g1, g2)):
        rho, T = math.exp(lr), math.exp(lt)
        want = math.exp(obj.log_opacity(math.log(T), math.log(rho)))
        got = obj.opacity(rho, T)
        assert got == want or (math.isnan(got) and math.isnan(want))


def test_array_methods_match_the_scalar_ones(law):
    g1, g2, lk = random_table(33)
    obj = law["cls"](g1, g2, lk, 2)
    lt, lr = points(law, g1, g2)
    for name in ("log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT"):
        want = np.array([getattr(obj, name)(a, b) for a, b in zip(lt, lr)])
        assert same_array(getattr(obj, name + "_array")(lt, lr), want)
        assert same_array(getattr(obj, name + "_array")(log_T=lt, log_rho=lr), want)
    rho, T = np.exp(lr), np.exp(lt)
    # density first for the linear form, temperature first for the logarithmic one
    log_k = obj.log_opacity_array(np.log(T), np.log(rho))
    assert same_array(obj.opacity_array(rho, T), np.array([math.exp(v) for v in log_k]))


def test_longer_later_array_and_empty_input(law):
    g1, g2, lk = random_table(34, holes=0.0)
    obj = law["cls"](g1, g2, lk, 0)
    lt, lr = points(law, g1, g2)
    inside = [(a, b) for a, b in zip(lt, lr) if obj.dlogkappa_dlogT(a, b) != 0.0]
    lt, lr = np.array(inside).T.copy()
    out = obj.log_opacity_array(lt[:5].copy(), np.append(lr[:5], [np.nan, 1e300]))
    assert same_array(out, np.array([obj.log_opacity(a, b) for a, b in zip(lt[:5], lr[:5])]))
    assert obj.log_opacity_array(np.empty(0), np.empty(0)).shape == (0,)


@pytest.mark.parametrize("method", ["log_opacity_array", "opacity_array"])
def test_failing_element_raises_without_a_result(law, method):
    g1, g2, lk = random_table(35, holes=0.0)
    obj = law["cls"](g1, g2, lk, 0)
    lt, lr = np.array([logs_for(law, x, g2[2]) for x in (g1[1], g1[-1] + 1.0, g1[2])]).T.copy()
    args = (lt, lr) if method == "log_opacity_array" else (np.exp(lr), np.exp(lt))
    with pytest.raises(ValueError, match="is outside the table domain") as e:
        getattr(obj, method)(*args)
    names = frame_names(e.value)
    assert names[0] == BASE + method and names[-1] == law["prefix"] + "._handle_oob"

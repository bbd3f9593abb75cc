// Pickling of the opacity-law base types: __reduce__, __setstate__ and the
// module's reconstructors, with the layout checksums.
// Part of module kappa_core (kappa_core.cpp includes it, once).
#pragma once

namespace velmora::opacity {
namespace {

// ---------------------------------------------------------------------------
// Pickling. The base types store no C-level fields: the persisted form is the
// class, a layout checksum and, for instances with a non-empty __dict__, that
// dict. The three accepted checksums are 28-bit fingerprints of the (empty)
// field list.

constexpr long checksum_written = 0xe3b0c44;
bool checksum_accepted(int c) { return c == 0xe3b0c44 || c == 0xda39a3e || c == 0xd41d8cd; }

template <typename Obj>
struct PickleNames;
template <>
struct PickleNames<GreyKappaCore> {
    static constexpr const char* reconstructor = "__c_unpickle_C_GreyKappaCore";
    static constexpr const char* q_reconstructor = KC_PREFIX "__c_unpickle_C_GreyKappaCore";
    static constexpr const char* q_set_state = KC_PREFIX "__c_unpickle_C_GreyKappaCore__set_state";
    static constexpr const char* q_reduce = KC_PREFIX "C_GreyKappaCore.__reduce__";
    static constexpr const char* q_setstate = KC_PREFIX "C_GreyKappaCore.__setstate__";
    static PyTypeObject* type;
};
template <>
struct PickleNames<KappaCore> {
    static constexpr const char* reconstructor = "__c_unpickle_C_KappaCore";
    static constexpr const char* q_reconstructor = KC_PREFIX "__c_unpickle_C_KappaCore";
    static constexpr const char* q_set_state = KC_PREFIX "__c_unpickle_C_KappaCore__set_state";
    static constexpr const char* q_reduce = KC_PREFIX "C_KappaCore.__reduce__";
    static constexpr const char* q_setstate = KC_PREFIX "C_KappaCore.__setstate__";
    static PyTypeObject* type;
};
PyTypeObject* PickleNames<GreyKappaCore>::type = nullptr;
PyTypeObject* PickleNames<KappaCore>::type = nullptr;

// Restores a state tuple: a true first element updates the instance dict.
template <typename Obj>
bool restore_state(PyObject* obj, PyObject* state) {
    using P = PickleNames<Obj>;
    if (PyTuple_GET_SIZE(state) > 0) {
        PyObject* first = PyTuple_GET_ITEM(state, 0);
        int truth = PyObject_IsTrue(first);
        if (truth < 0) {
            rt::add_traceback(P::q_set_state);
            return false;
        }
        if (truth) {
            Ref d = Ref::steal(PyObject_GetAttrString(obj, "__dict__"));
            Ref r = d ? Ref::steal(PyObject_CallMethod(d.get(), "update", "O", first)) : Ref();
            if (!r) {
                rt::add_traceback(P::q_set_state);
                return false;
            }
        }
    }
    return true;
}

template <typename Obj>
PyObject* reduce_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = PickleNames<Obj>;
    std::array<PyObject*, 0> values;
    if (!rt::bind(rt::reduce_params, args, nargs, kwnames, values)) return nullptr;
    Ref state = Ref::steal(PyTuple_New(0));
    if (!state) return nullptr;
    Ref d = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!d) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    int truth = 0;
    if (d && d.get() != Py_None) {
        truth = PyObject_IsTrue(d.get());
        if (truth < 0) return nullptr;
    }
    Ref checksum = Ref::steal(PyLong_FromLong(checksum_written));
    if (!checksum) return nullptr;
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Ref name = Ref::steal(PyUnicode_FromString(P::reconstructor));
    if (!name) return nullptr;
    if (truth) {
        state = Ref::steal(PyTuple_Pack(1, d.get()));
        if (!state) return nullptr;
        Ref reconstructor = rt::module_global(name.get());
        if (!reconstructor) return nullptr;
        Ref cargs = Ref::steal(PyTuple_Pack(3, type.get(), checksum.get(), Py_None));
        if (!cargs) return nullptr;
        return PyTuple_Pack(3, reconstructor.get(), cargs.get(), state.get());
    }
    Ref reconstructor = rt::module_global(name.get());
    if (!reconstructor) return nullptr;
    Ref cargs = Ref::steal(PyTuple_Pack(3, type.get(), checksum.get(), state.get()));
    if (!cargs) return nullptr;
    return PyTuple_Pack(2, reconstructor.get(), cargs.get());
}

template <typename Obj>
inline constexpr auto reduce_method = rt::traced<&reduce_body<Obj>, PickleNames<Obj>::q_reduce>;

template <typename Obj>
PyObject* setstate_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    rt::StateArg a;
    if (!rt::parse(rt::setstate_decl, args, nargs, kwnames, a)) return nullptr;
    PyObject* state = a.state;
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, msg::none_into_not_none);
        return nullptr;
    }
    if (!PyTuple_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, msg::expected_type, "tuple", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    if (!restore_state<Obj>(self, state)) return nullptr;
    Py_RETURN_NONE;
}

template <typename Obj>
inline constexpr auto setstate_method = rt::traced<&setstate_body<Obj>, PickleNames<Obj>::q_setstate>;

// pickle.PickleError with the checksum filled in by the interpreter's own
// %-formatting (so that a negative checksum prints as it would there).
void raise_incompatible_checksum(int checksum) {
    Ref pickle = rt::import_module("pickle");
    if (!pickle) return;
    Ref error = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error) return;
    Ref text = rt::percent_format(msg::incompatible_checksums, Ref::steal(Py_BuildValue("(i)", checksum)).get());
    if (!text) return;
    Ref exc = Ref::steal(PyObject_CallOneArg(error.get(), text.get()));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

struct UnpickleArgs {
    PyObject* type;
    int checksum;
    PyObject* state;
};

template <typename Obj>
constexpr auto unpickle_decl = rt::declare<&UnpickleArgs::type, &UnpickleArgs::checksum, &UnpickleArgs::state>(
    PickleNames<Obj>::reconstructor, {"__c_type", "__c_checksum", "__c_state"});

template <typename Obj>
constexpr const auto& unpickle_params = unpickle_decl<Obj>.params;

template <typename Obj>
PyObject* unpickle_body(PyObject* /* module */, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using P = PickleNames<Obj>;
    UnpickleArgs a;
    if (!rt::parse(unpickle_decl<Obj>, args, nargs, kwnames, a)) return nullptr;
    const int checksum = a.checksum;
    PyObject* state = a.state;
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        rt::raise_argument_type("__c_state", &PyTuple_Type, state);
        return nullptr;
    }
    if (!checksum_accepted(checksum)) {
        raise_incompatible_checksum(checksum);
        return nullptr;
    }
    Ref new_ = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(P::type), "__new__"));
    if (!new_) return nullptr;
    Ref result = Ref::steal(PyObject_CallOneArg(new_.get(), a.type));
    if (!result) return nullptr;
    if (state != Py_None && !restore_state<Obj>(result.get(), state)) return nullptr;
    return result.release();
}

template <typename Obj>
inline constexpr auto unpickle_function = rt::traced<&unpickle_body<Obj>, PickleNames<Obj>::q_reconstructor>;

}  // namespace
}  // namespace velmora::opacity

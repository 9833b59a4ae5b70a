// norvale.cython.tail_guid: identifiers that sort after every older one in a database index.
//
// Layout of the 128 bits, most significant first: 32 one-bits, the low 32 bits of the Unix time
// in seconds, two zero bits, a 6-bit per-process call counter, 56 random bits.
#include <cstdint>
#include <ctime>

#include <structmember.h>

#include "frame/frame.hpp"
#include "kernels/random_pool.hpp"

using namespace norvale;
using namespace norvale::frame::common;

namespace {

frame::Name name_secrets{"secrets"};
frame::Name name_randbits{"randbits"};
frame::Name name_uuid{"uuid"};
frame::Name name_UUID{"UUID"};
frame::Name name_int{"int"};
frame::KeywordName int_keyword{name_int};  // ("int",)
frame::Name name_is_safe{"is_safe"};
frame::Name name_init{"__init__"};
frame::Name name_new{"__new__"};
frame::Name name_setattr{"__setattr__"};
frame::Builtin builtin_int{"int"};

constexpr char negative_random_value[] = "can't convert negative value to %.200s";
constexpr char integer_required[] = "an integer is required";
constexpr char int_returned_non_int[] = "__int__ returned non-int (type %.200s)";
constexpr char int_returned_int_subclass[] =
    "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict subclass of int is "
    "deprecated, and may be removed in a future version of Python.";

// Made once at exec, so that a call creates no constants of its own.
PyObject *random_bit_count = nullptr;  // 56
PyObject *upper_shift = nullptr;       // 64

// secrets.randbits as the module body found it: the system random source's getrandbits.
PyObject *system_randbits = nullptr;

// Sequence number of the next identifier, 0..63; process-wide, guarded by the interpreter lock.
std::uint64_t call_counter = 0;

constexpr std::uint64_t prefix = 0xFFFFFFFFu;

static_assert(sizeof(std::time_t) == 8, "the clock must be read as a 64-bit count of seconds");

// Idempotent: an import retried after a failed exec keeps what the first attempt made.
int make_constants() {
    if (!random_bit_count) random_bit_count = PyLong_FromLong(56);
    if (!upper_shift) upper_shift = PyLong_FromLong(64);
    return random_bit_count && upper_shift ? 0 : -1;
}

// An exact int, from the result of an object's __int__ (nb_int) slot; nullptr with an exception set.
PyObject *int_from_number_slot(PyObject *value) {
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    Ref result;
    if (number && number->nb_int) result = Ref::steal(number->nb_int(value));
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, integer_required);
        return nullptr;
    }
    if (PyLong_CheckExact(result.get())) return result.release();
    if (PyLong_Check(result.get())) {
        // Still accepted, as int() itself does, but with the interpreter's deprecation notice.
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1, int_returned_int_subclass, Py_TYPE(result.get())->tp_name) <
            0)
            return nullptr;
        return result.release();
    }
    PyErr_Format(PyExc_TypeError, int_returned_non_int, Py_TYPE(result.get())->tp_name);
    return nullptr;
}

// Conversion of any object to an unsigned 64-bit value: ints directly (subclasses included),
// anything else through its __int__, never through __index__.
int as_uint64(PyObject *value, std::uint64_t &out) {
    Ref converted;
    if (!PyLong_Check(value)) {
        converted = Ref::steal(int_from_number_slot(value));
        if (!converted) return -1;
        value = converted.get();
    }
    if (_PyLong_Sign(value) < 0) {
        PyErr_Format(PyExc_OverflowError, negative_random_value, "unsigned PY_LONG_LONG");
        return -1;
    }
    unsigned long long result = PyLong_AsUnsignedLongLong(value);  // OverflowError when too large
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    out = result;
    return 0;
}

// A Python int of `value`, passed through the built-in int.
PyObject *builtin_int_of(std::uint64_t value) {
    Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
    if (!number) return nullptr;
    PyObject *args[] = {number.get()};
    return PyObject_Vectorcall(builtin_int.object(), args, 1, nullptr);
}

// What secrets.randbits(56) computes, without its Python frames: seven bytes from the system's
// random source, read as a big-endian integer. False when the source fails, and the caller then
// makes the real call.
kernels::RandomPool random_pool;

bool system_random_56(std::uint64_t &out) noexcept { return random_pool.take(7, out); }

// ---- UUID(int=value) without the Python-level __init__ ---------------------------------------
//
// For the standard library's class as it was found at import, UUID(int=value) makes an instance
// with the slot `int` set to value and the slot `is_safe` to __init__'s keyword default
// (SafeUUID.unknown): that is made here directly. The class is taken as unchanged while its
// version tag (which any change to its dict renews) is the one seen when its __init__, __new__,
// __setattr__ and slots were checked, and while __init__ keeps its code and defaults. Anything
// else (another class, a subclass, a changed method) gets the real call.
struct StandardUuid {
    PyTypeObject *type = nullptr;  // uuid.UUID at import, kept for the process
    PyObject *init = nullptr, *init_code = nullptr, *init_defaults = nullptr;
    PyObject *new_ = nullptr, *setattr = nullptr, *int_slot = nullptr, *is_safe_slot = nullptr;
    Py_ssize_t int_offset = 0, is_safe_offset = 0;
    unsigned int version = 0;  // the version tag its dict was checked under; 0 for none
};
StandardUuid standard_uuid;

// The object that the class's dict holds for `name` (a borrowed reference), or nullptr.
PyObject *own_attribute(PyTypeObject *type, const frame::Name &name) noexcept {
    return PyDict_GetItemWithError(type->tp_dict, name.object());
}

// A slot of the class: a member descriptor of an object field; its offset, or -1.
Py_ssize_t slot_offset(PyTypeObject *type, PyObject *slot) noexcept {
    if (!slot || !Py_IS_TYPE(slot, &PyMemberDescr_Type)) return -1;
    const PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(slot)->d_member;
    if (member->type != T_OBJECT_EX || (member->flags & READONLY) || PyDescr_TYPE(slot) != type) return -1;
    return member->offset;
}

// Does the class's dict still hold what was checked? Then its current version tag is adopted.
bool still_standard(PyTypeObject *type) noexcept {
    StandardUuid &u = standard_uuid;
    const bool same = own_attribute(type, name_init) == u.init && own_attribute(type, name_new) == u.new_ &&
                      own_attribute(type, name_setattr) == u.setattr && own_attribute(type, name_int) == u.int_slot &&
                      own_attribute(type, name_is_safe) == u.is_safe_slot;
    PyErr_Clear();
    if (!same || !PyUnstable_Type_AssignVersionTag(type)) return false;
    u.version = type->tp_version_tag;
    return true;
}

// Captures uuid.UUID as the module body finds it, if it is the standard class: a plain class
// with the slots int and is_safe and a Python-level __init__. Nothing is captured otherwise.
void capture_standard_uuid(PyObject *uuid_module) noexcept {
    Ref cls = Ref::steal(PyObject_GetAttr(uuid_module, name_UUID.object()));
    if (!cls || !PyType_Check(cls.get()) || !Py_IS_TYPE(cls.get(), &PyType_Type)) return PyErr_Clear();
    auto *type = reinterpret_cast<PyTypeObject *>(cls.get());
    PyObject *init = own_attribute(type, name_init);
    PyErr_Clear();
    if (!init || !PyFunction_Check(init) || type->tp_new != PyBaseObject_Type.tp_new) return;
    StandardUuid u;
    u.type = type;
    u.init = init;
    u.init_code = PyFunction_GetCode(init);
    u.init_defaults = PyFunction_GetDefaults(init);
    u.new_ = own_attribute(type, name_new);
    u.setattr = own_attribute(type, name_setattr);
    u.int_slot = own_attribute(type, name_int);
    u.is_safe_slot = own_attribute(type, name_is_safe);
    PyErr_Clear();
    u.int_offset = slot_offset(type, u.int_slot);
    u.is_safe_offset = slot_offset(type, u.is_safe_slot);
    if (u.int_offset < 0 || u.is_safe_offset < 0 || !PyUnstable_Type_AssignVersionTag(type)) return;
    u.version = type->tp_version_tag;
    // Kept for the life of the process, with everything compared against them.
    for (PyObject *held : {cls.get(), u.init, u.init_code, u.init_defaults, u.new_, u.setattr, u.int_slot,
                           u.is_safe_slot})
        Py_XINCREF(held);
    standard_uuid = u;
}

// The value that UUID(int=...) leaves in is_safe: __init__'s keyword default (a borrowed
// reference), if `cls` is still the standard class; nullptr otherwise.
PyObject *standard_is_safe(PyObject *cls) noexcept {
    const StandardUuid &u = standard_uuid;
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    if (!u.type || type != u.type || !Py_IS_TYPE(cls, &PyType_Type) || builtin_int.object() != (PyObject *)&PyLong_Type)
        return nullptr;
    if (type->tp_version_tag != u.version && !still_standard(type)) return nullptr;
    if (PyFunction_GetCode(u.init) != u.init_code || PyFunction_GetDefaults(u.init) != u.init_defaults) return nullptr;
    PyObject *keywords = PyFunction_GetKwDefaults(u.init);
    PyObject *is_safe = keywords && PyDict_CheckExact(keywords) ? PyDict_GetItemWithError(keywords, name_is_safe.object())
                                                                 : nullptr;
    PyErr_Clear();
    return is_safe;
}

// The 128-bit int (upper << 64) | lower.
Ref int_of_halves(std::uint64_t upper, std::uint64_t lower) noexcept {
    unsigned char bytes[16];  // little-endian
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(lower >> (8 * i));
        bytes[8 + i] = static_cast<unsigned char>(upper >> (8 * i));
    }
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(PyLong_FromUnsignedNativeBytes(bytes, sizeof bytes, Py_ASNATIVEBYTES_LITTLE_ENDIAN));
#else
    return Ref::steal(_PyLong_FromByteArray(bytes, sizeof bytes, 1, 0));
#endif
}

// A new instance of the standard class, as UUID(int=...) makes it.
Ref new_standard_uuid(PyObject *cls, PyObject *is_safe, std::uint64_t upper, std::uint64_t lower) noexcept {
    Ref value = int_of_halves(upper, lower);
    if (!value) return {};
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    Ref made = Ref::steal(type->tp_alloc(type, 0));
    if (!made) return {};
    char *fields = reinterpret_cast<char *>(made.get());
    *reinterpret_cast<PyObject **>(fields + standard_uuid.int_offset) = value.release();
    *reinterpret_cast<PyObject **>(fields + standard_uuid.is_safe_offset) = Py_NewRef(is_safe);
    return made;
}

Result tail_guid_body(frame::FunctionObject &, PyObject *const *) {
    // The clock's low 32 bits, of the signed count as two's complement: a failed read (-1)
    // gives all ones.
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::uint32_t timestamp = static_cast<std::uint32_t>(static_cast<std::uint64_t>(now) & 0xFFFFFFFFu);

    // 56 random bits from secrets.randbits, looked up anew. The unchanged system source is read
    // directly: its Python wrapper costs more than the rest of the call. Any other randbits (a
    // stand-in, a rebound secrets) is called.
    Ref randbits = frame::get_global_attr(name_secrets, name_randbits);
    if (!randbits) return fail();
    std::uint64_t random_value = 0;
    if (randbits.get() != system_randbits || !system_random_56(random_value)) {
        PyObject *randbits_args[] = {random_bit_count};
        Ref random_object = Ref::steal(PyObject_Vectorcall(randbits.get(), randbits_args, 1, nullptr));
        if (!random_object) return fail();
        if (as_uint64(random_object.get(), random_value) < 0) return fail();
    }

    // Take the counter and advance it, with no Python code in between.
    const std::uint64_t uuid_lower = (call_counter << 56) | random_value;
    call_counter = (call_counter + 1) % 64;

    Ref uuid_class = frame::get_global_attr(name_uuid, name_UUID);
    if (!uuid_class) return fail();
    const std::uint64_t uuid_upper = (prefix << 32) | timestamp;
    if (PyObject *is_safe = standard_is_safe(uuid_class.get())) {
        Ref made = new_standard_uuid(uuid_class.get(), is_safe, uuid_upper, uuid_lower);
        if (!made) return fail();
        return made;
    }

    // (uuid_upper << 64) | uuid_lower as a Python int, each half passed through the built-in int.
    Ref upper = Ref::steal(builtin_int_of(uuid_upper));
    if (!upper) return fail();
    Ref lower = Ref::steal(builtin_int_of(uuid_lower));
    if (!lower) return fail();
    Ref shifted = Ref::steal(PyNumber_Lshift(upper.get(), upper_shift));
    if (!shifted) return fail();
    Ref value = Ref::steal(PyNumber_Or(shifted.get(), lower.get()));
    if (!value) return fail();

    // UUID(int=value).
    PyObject *uuid_args[] = {value.get()};
    return Ref::steal(PyObject_Vectorcall(uuid_class.get(), uuid_args, 0, int_keyword.tuple()));
}

const char *const tail_guid_locals[] = {"prefix", "timestamp", "uuid_upper", "random_value", "uuid_lower"};

constexpr frame::FunctionDef tail_guid_def = frame::function_def(
    "tail_guid",
    "tail_guid()\n"
    "\n"
    "Generates a UUID with a prefix of 32 ones and a following timestamp.\n"
    "The purpose is to have UUIDs that are always appended at the end of the DB index.\n"
    "WARNING: Does not follow the actual UUID definition (version/variant not set) but PostgreSQL does not care",
    frame::no_parameters, frame::locals(tail_guid_locals), tail_guid_body);

// Keeps secrets.randbits when it is the bound getrandbits of a random.SystemRandom.
int remember_system_randbits(PyObject *globals) {
    Ref randbits = Ref::steal(PyObject_GetAttrString(PyDict_GetItemString(globals, "secrets"), "randbits"));
    Ref random = Ref::steal(PyImport_ImportModule("random"));
    if (!randbits || !random) return -1;
    Ref system_random = Ref::steal(PyObject_GetAttrString(random.get(), "SystemRandom"));
    Ref method = Ref::steal(system_random ? PyObject_GetAttrString(system_random.get(), "getrandbits") : nullptr);
    if (!method) return -1;
    if (!PyMethod_Check(randbits.get()) || PyMethod_GET_FUNCTION(randbits.get()) != method.get() ||
        !PyObject_TypeCheck(PyMethod_GET_SELF(randbits.get()), reinterpret_cast<PyTypeObject *>(system_random.get())))
        return 0;
    system_randbits = randbits.release();  // kept for the life of the process
    return 0;
}

int module_body(PyObject *globals) {
    if (frame::set_global(globals, "secrets", frame::import_module("secrets")) < 0) return -1;
    if (!system_randbits && remember_system_randbits(globals) < 0) return -1;
    if (frame::set_global(globals, "uuid", frame::import_module("uuid")) < 0) return -1;
    if (!standard_uuid.type) capture_standard_uuid(PyDict_GetItemString(globals, "uuid"));
    call_counter = 0;
    return frame::set_global(globals, "tail_guid", frame::make_function(tail_guid_def, globals));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "tail_guid",
    .dotted = "norvale.cython.tail_guid",
    .source = "norvale/cython/tail_guid.cpp",
    .body = module_body,
    .numpy = frame::NumpyBinding::none,
    .constants = make_constants,
};

PyMODINIT_FUNC PyInit_tail_guid() { return PyModuleDef_Init(&frame::module_def); }

#include "python/values.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <unordered_map>
#include <utility>

#include "model/temporal.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/py_cell.hpp"
#include "python/pyref.hpp"

namespace velmo::python {
namespace {

using i128 = __int128;

constexpr int64_t kNanosPerSec = 1'000'000'000;
constexpr int64_t kMicrosPerDay = 86'400'000'000;
constexpr int64_t kMaxPyDays = 999'999'999;
// Python's timedelta range in whole milliseconds: -999999999 days ..= 999999999 days 23:59:59.999.
constexpr int64_t kMinPyMillis = -86'399'999'913'600'000;
constexpr int64_t kMaxPyMillis = 86'399'999'999'999'999;

// The datetime classes, in the order of the instance tests (a datetime is also a date).
enum class Temporal { DateTime, Time, Timedelta, Date, None };
constexpr size_t kClasses = 4;

// The attributes the conversions read.
enum Field { Year, Month, Day, Hour, Minute, Second, Microsecond, Tzinfo, Days, Seconds, Microseconds, kFields };
constexpr const char* kFieldNames[kFields] = {"year",   "month",       "day",    "hour",
                                              "minute", "second",      "microsecond", "tzinfo",
                                              "days",   "seconds",     "microseconds"};

// The descriptor that holds one attribute of a class. For an object of exactly that class, calling it is
// what attribute look-up ends in, minus the look-up: the name is neither hashed nor searched for.
struct Descriptor {
    PyObject* object = nullptr;
    descrgetfunc get = nullptr;
};

// The datetime classes and what the conversions need of them, set up once per process (the limited API
// has no datetime C API) and kept for its life, like the module's own classes.
struct DatetimeApi {
    PyObject* classes[kClasses] = {};
    // Interned: a name made afresh for every look-up misses the type's attribute cache.
    PyObject* names[kFields] = {};
    Descriptor descriptors[kClasses][kFields];
    // Whether date, datetime and time are built from their packed fields (their pickled state) as the
    // one argument, which skips parsing an argument list. Checked once against the ordinary constructor.
    bool packed_state = false;
    // Each class's own constructor slot, when calling it is all that calling the class does (the class
    // leaves initialisation to object's, which has nothing to do): the call machinery is skipped.
    newfunc direct_new[kClasses] = {};

    PyObject* of(Temporal kind) const { return classes[static_cast<size_t>(kind)]; }
};

DatetimeApi& datetime_storage() {
    static DatetimeApi api;
    return api;
}

// The classes once some call has set them up, else null; never imports.
const DatetimeApi* loaded_datetime_api() {
    const DatetimeApi& api = datetime_storage();
    return api.of(Temporal::Date) ? &api : nullptr;
}

// The descriptor of attribute `name` of class `cls` when look-up can be skipped for it: the class cannot be
// changed, its metaclass is type, it reads attributes the generic way, and the attribute is a built-in
// getset or member descriptor (a data descriptor, so nothing on the object can shadow it). Else an empty
// one, and the attribute is looked up by name.
Descriptor direct_descriptor(PyObject* cls, PyObject* name) {
    if (!PyType_Check(cls)) return {};
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!(PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) || Py_TYPE(cls) != &PyType_Type ||
        PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr))
        return {};
    PyRef d(PyObject_GetAttr(cls, name));  // such a descriptor read from its class gives itself
    if (!d) {
        PyErr_Clear();
        return {};
    }
    PyTypeObject* kind = Py_TYPE(d.get());
    if (kind != &PyGetSetDescr_Type && kind != &PyMemberDescr_Type) return {};
    auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(kind, Py_tp_descr_get));
    if (!get) return {};
    return {d.release(), get};
}

// The constructor slot of class `cls` when calling it is all that calling the class does: an immutable
// class of metaclass type whose initialisation is object's own (which, for a class with a constructor of
// its own, only accepts the arguments). Null otherwise.
newfunc direct_constructor(PyObject* cls) {
    if (!PyType_Check(cls)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!(PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE) || Py_TYPE(cls) != &PyType_Type) return nullptr;
    if (PyType_GetSlot(type, Py_tp_init) != PyType_GetSlot(&PyBaseObject_Type, Py_tp_init)) return nullptr;
    auto* create = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
    if (!create || create == reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new))) return nullptr;
    return create;
}

// The packed fields of the pickled state: the year big-endian in two bytes, then one byte for each of
// month and day; the hour, minute and second one byte each, then the microsecond big-endian in three.
void pack_date(unsigned char* out, const Date& d) {
    const int year = int(d.year());
    out[0] = static_cast<unsigned char>(year >> 8);
    out[1] = static_cast<unsigned char>(year & 0xff);
    out[2] = static_cast<unsigned char>(unsigned(d.month()));
    out[3] = static_cast<unsigned char>(unsigned(d.day()));
}

// The microsecond is the nanosecond fraction rounded down.
void pack_time(unsigned char* out, const TimeOfDay& t) {
    const uint32_t micros = t.nanos / 1000;
    out[0] = static_cast<unsigned char>(t.secs / 3600);
    out[1] = static_cast<unsigned char>(t.secs / 60 % 60);
    out[2] = static_cast<unsigned char>(t.secs % 60);
    out[3] = static_cast<unsigned char>(micros >> 16);
    out[4] = static_cast<unsigned char>((micros >> 8) & 0xff);
    out[5] = static_cast<unsigned char>(micros & 0xff);
}

// callable(arg) through one argument tuple kept for reuse, which saves making and freeing a tuple per call;
// through `direct`, the constructor slot of the class `callable`, when it is given. The tuple is refilled
// only while nothing else holds it and no call through it is running; a call that keeps it leaves it to
// that holder, and the next call makes a new one.
PyObject* call_one(PyObject* callable, PyObject* arg, newfunc direct = nullptr) {
    static PyObject* args = nullptr;
    static bool busy = false;
    if (busy) return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
    if (args && Py_REFCNT(args) != 1) {
        Py_DECREF(args);
        args = nullptr;
    }
    if (!args && !(args = PyTuple_New(1))) return nullptr;
    PyTuple_SetItem(args, 0, Py_NewRef(arg));  // releases the previous item
    busy = true;
    PyObject* result = direct ? direct(reinterpret_cast<PyTypeObject*>(callable), args, nullptr)
                              : PyObject_Call(callable, args, nullptr);
    busy = false;
    if (Py_REFCNT(args) == 1) PyTuple_SetItem(args, 0, Py_NewRef(Py_None));  // keeps no argument alive
    return result;
}

// A new object of class `cls` built from its packed fields, through `direct` when given.
PyObject* from_packed(PyObject* cls, const unsigned char* bytes, size_t size, newfunc direct) {
    PyRef state(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(size)));
    if (!state) return nullptr;
    return call_one(cls, state.get(), direct);
}

size_t packed_size(Temporal kind) { return kind == Temporal::Date ? 4 : kind == Temporal::DateTime ? 10 : 6; }

// A new date, datetime or time from its packed fields, through the ordinary constructor.
PyObject* from_fields(PyObject* cls, Temporal kind, const unsigned char* p) {
    if (kind == Temporal::Date) return PyObject_CallFunction(cls, "iii", p[0] << 8 | p[1], p[2], p[3]);
    const unsigned char* t = kind == Temporal::Time ? p : p + 4;
    const int micros = t[3] << 16 | t[4] << 8 | t[5];
    if (kind == Temporal::Time) return PyObject_CallFunction(cls, "iiii", t[0], t[1], t[2], micros);
    return PyObject_CallFunction(cls, "iiiiiii", p[0] << 8 | p[1], p[2], p[3], t[0], t[1], t[2], micros);
}

PyObject* make_temporal(const DatetimeApi& api, Temporal kind, const unsigned char* p) {
    PyObject* cls = api.of(kind);
    return api.packed_state ? from_packed(cls, p, packed_size(kind), api.direct_new[static_cast<size_t>(kind)])
                            : from_fields(cls, kind, p);
}

// True when building from packed fields gives what the ordinary constructors give, for each class.
bool packed_state_agrees(const DatetimeApi& api) {
    const DateTime sample{Date{std::chrono::year(1999) / 12 / 31}, TimeOfDay{23 * 3600 + 58 * 60 + 57, 654'321'000}};
    unsigned char p[10];
    pack_date(p, sample.date);
    pack_time(p + 4, sample.time);
    for (auto [kind, fields] : {std::pair{Temporal::Date, p}, std::pair{Temporal::DateTime, p},
                                std::pair{Temporal::Time, p + 4}}) {
        PyObject* cls = api.of(kind);
        PyRef ordinary(from_fields(cls, kind, fields));
        PyRef packed(ordinary ? from_packed(cls, fields, packed_size(kind), api.direct_new[static_cast<size_t>(kind)])
                              : nullptr);
        if (!packed || Py_TYPE(packed.get()) != Py_TYPE(ordinary.get()) ||
            PyObject_RichCompareBool(packed.get(), ordinary.get(), Py_EQ) != 1) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

const DatetimeApi* datetime_api() {
    DatetimeApi& api = datetime_storage();
    if (const DatetimeApi* loaded = loaded_datetime_api()) return loaded;
    PyRef module(PyImport_ImportModule("datetime"));
    if (!module) return nullptr;
    const char* class_names[kClasses] = {"datetime", "time", "timedelta", "date"};
    PyRef classes[kClasses];
    for (size_t c = 0; c < kClasses; ++c) {
        classes[c] = PyRef(PyObject_GetAttrString(module.get(), class_names[c]));
        if (!classes[c]) return nullptr;
    }
    for (size_t f = 0; f < kFields; ++f) {
        if (api.names[f]) continue;  // made by an earlier attempt that failed further on
        api.names[f] = PyUnicode_InternFromString(kFieldNames[f]);
        if (!api.names[f]) return nullptr;
    }
    for (size_t c = 0; c < kClasses; ++c)
        for (size_t f = 0; f < kFields; ++f) api.descriptors[c][f] = direct_descriptor(classes[c].get(), api.names[f]);
    for (size_t c = 0; c < kClasses; ++c) api.classes[c] = classes[c].release();
    api.packed_state = packed_state_agrees(api);
    if (api.packed_state) {
        for (size_t c = 0; c < kClasses; ++c) api.direct_new[c] = direct_constructor(api.classes[c]);
        // The direct road is kept only when it gives what the ordinary call gives.
        if (!packed_state_agrees(api)) std::fill(std::begin(api.direct_new), std::end(api.direct_new), nullptr);
    }
    return &api;
}

// An object to read attributes of. One of exactly one of the classes is read through that class's
// descriptors; any other (a subclass, which may override them) by name.
class Source {
public:
    Source(const DatetimeApi& api, PyObject* o, Temporal exact)
        : api_(api), object_(o),
          direct_(exact == Temporal::None ? nullptr : api.descriptors[static_cast<size_t>(exact)]) {}

    PyObject* read(Field f) const {
        if (direct_ && direct_[f].get)
            return direct_[f].get(direct_[f].object, object_, reinterpret_cast<PyObject*>(Py_TYPE(object_)));
        return PyObject_GetAttr(object_, api_.names[f]);
    }

private:
    const DatetimeApi& api_;
    PyObject* object_;
    const Descriptor* direct_;
};

// An integer attribute within [lo, hi]; attribute and conversion errors are raised as they come. Inlined:
// a date-time reads seven of them.
[[gnu::always_inline]] inline bool int_attr(const Source& s, Field f, long long lo, long long hi, long long& out) {
    PyRef attr(s.read(f));
    if (!attr) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(attr.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || v < lo || v > hi) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = v;
    return true;
}

std::optional<Date> extract_date(const Source& s) {
    long long y, m, d;
    if (!int_attr(s, Year, INT32_MIN, INT32_MAX, y)) return std::nullopt;
    if (!int_attr(s, Month, 0, UINT32_MAX, m)) return std::nullopt;
    if (!int_attr(s, Day, 0, UINT32_MAX, d)) return std::nullopt;
    if (y < -32767 || y > 32767 || m > 12 || d > 31) {
        PyErr_SetString(PyExc_ValueError, "invalid date");
        return std::nullopt;
    }
    Date date{std::chrono::year(static_cast<int>(y)), std::chrono::month(static_cast<unsigned>(m)),
              std::chrono::day(static_cast<unsigned>(d))};
    if (!date.ok()) {
        PyErr_SetString(PyExc_ValueError, "invalid date");
        return std::nullopt;
    }
    return date;
}

std::optional<TimeOfDay> extract_time(const Source& s) {
    long long h, m, sec, us;
    if (!int_attr(s, Hour, 0, UINT32_MAX, h)) return std::nullopt;
    if (!int_attr(s, Minute, 0, UINT32_MAX, m)) return std::nullopt;
    if (!int_attr(s, Second, 0, UINT32_MAX, sec)) return std::nullopt;
    if (!int_attr(s, Microsecond, 0, UINT32_MAX, us)) return std::nullopt;
    // A second of 59 with a microsecond past 999999 is a leap second, carried as a fraction >= 1 s.
    bool valid = h < 24 && m < 60 && sec < 60 && (us < 1'000'000 || (sec == 59 && us < 2'000'000));
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "invalid time");
        return std::nullopt;
    }
    return TimeOfDay{static_cast<uint32_t>(h * 3600 + m * 60 + sec), static_cast<uint32_t>(us * 1000)};
}

bool reject_timezone(const Source& s) {
    PyRef tz(s.read(Tzinfo));
    if (!tz) return false;
    if (tz.get() != Py_None) {
        PyErr_SetString(PyExc_ValueError, "Excel does not support timezones in datetimes or times");
        return false;
    }
    return true;
}

bool year_in_python_range(const Date& d) { return int(d.year()) >= 1 && int(d.year()) <= 9999; }

// True for a date, date-time or time whose serial conversion cannot fail: one well inside years 1..9999
// and not a leap second. Only values near the ends of the range need the full conversion to tell.
bool surely_has_serial(const Value& v) {
    if (const auto* d = std::get_if<Date>(&v)) return year_in_python_range(*d);
    if (const auto* t = std::get_if<TimeOfDay>(&v)) return t->nanos < kNanosPerSec;
    if (const auto* dt = std::get_if<DateTime>(&v)) {
        // Below year 9999, rounding to the millisecond cannot carry the value out of the range.
        const int year = int(dt->date.year());
        return year >= 1 && year < 9999 && dt->time.nanos < kNanosPerSec;
    }
    return false;
}

std::optional<Value> validate_python_temporal(Value v) {
    if (auto* d = std::get_if<Duration>(&v)) {
        auto millis = temporal::round_duration_to_millis(*d);
        if (!millis) {
            raise_velmo_error(std::move(millis.error()));
            return std::nullopt;
        }
        if (*millis < kMinPyMillis || *millis > kMaxPyMillis) {
            PyErr_SetString(PyExc_OverflowError, "timedelta rounds outside Python's supported day range");
            return std::nullopt;
        }
    }
    if (surely_has_serial(v)) return v;
    auto serial = temporal::to_excel_serial(v);
    if (!serial) {
        raise_velmo_error(std::move(serial.error()));
        return std::nullopt;
    }
    return v;
}

std::optional<Value> timedelta_to_value(const Source& s) {
    long long days, secs, micros;
    if (!int_attr(s, Days, INT64_MIN, INT64_MAX, days)) return std::nullopt;
    if (!int_attr(s, Seconds, INT64_MIN, INT64_MAX, secs)) return std::nullopt;
    if (!int_attr(s, Microseconds, INT64_MIN, INT64_MAX, micros)) return std::nullopt;
    // Summed exactly: 64-bit inputs times 86400e9 stay far inside 128 bits.
    i128 total_ns = (static_cast<i128>(days) * 86'400 + secs) * kNanosPerSec + static_cast<i128>(micros) * 1000;
    const i128 limit_ns = static_cast<i128>(INT64_MAX) * 1'000'000;
    if (total_ns > limit_ns || total_ns < -limit_ns) {
        PyErr_SetString(PyExc_OverflowError, "timedelta is outside velmo range");
        return std::nullopt;
    }
    i128 whole = total_ns / kNanosPerSec;
    i128 frac = total_ns % kNanosPerSec;
    if (frac < 0) {
        frac += kNanosPerSec;
        whole -= 1;
    }
    return validate_python_temporal(Duration{static_cast<int64_t>(whole), static_cast<uint32_t>(frac)});
}

// The class o is exactly, when it is one of the four, else None.
Temporal exact_class(const DatetimeApi& api, PyObject* o) {
    const auto* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    for (size_t c = 0; c < kClasses; ++c)
        if (type == api.classes[c]) return static_cast<Temporal>(c);
    return Temporal::None;
}

// The first class in test order that o is an instance of, or None; false on failure, with the error set.
bool instance_class(const DatetimeApi& api, PyObject* o, Temporal& kind) {
    for (size_t c = 0; c < kClasses; ++c) {
        int r = PyObject_IsInstance(o, api.classes[c]);
        if (r < 0) return false;
        if (r) {
            kind = static_cast<Temporal>(c);
            return true;
        }
    }
    kind = Temporal::None;
    return true;
}

// o's value when it is an instance of a datetime class; `exact` is the class o belongs to exactly, if any.
std::optional<Value> temporal_to_value(const DatetimeApi& api, PyObject* o, Temporal exact) {
    Temporal kind = exact;
    if (kind == Temporal::None && !instance_class(api, o, kind)) return std::nullopt;
    const Source s{api, o, exact};
    switch (kind) {
        case Temporal::DateTime: {
            if (!reject_timezone(s)) return std::nullopt;
            auto date = extract_date(s);
            if (!date) return std::nullopt;
            auto time = extract_time(s);
            if (!time) return std::nullopt;
            return validate_python_temporal(DateTime{*date, *time});
        }
        case Temporal::Time: {
            if (!reject_timezone(s)) return std::nullopt;
            auto time = extract_time(s);
            if (!time) return std::nullopt;
            return validate_python_temporal(*time);
        }
        case Temporal::Timedelta: return timedelta_to_value(s);
        case Temporal::Date: {
            auto date = extract_date(s);
            if (!date) return std::nullopt;
            return validate_python_temporal(*date);
        }
        case Temporal::None: break;
    }
    PyErr_SetString(PyExc_TypeError, "Unsupported Python value type for velmo.Value");
    return std::nullopt;
}

std::optional<Value> temporal_to_value(PyObject* o) {
    const DatetimeApi* api = datetime_api();
    if (!api) return std::nullopt;
    return temporal_to_value(*api, o, exact_class(*api, o));
}

std::optional<Value> text_to_value(PyObject* o) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (!text) return std::nullopt;
    if (len > 0 && text[0] == '=') return Value(Formula{std::string(text + 1, static_cast<size_t>(len - 1))});
    return Value(Text(std::string_view(text, static_cast<size_t>(len))));
}

PyObject* number_to_py(double x) {
    // Integral values within the signed 64-bit range come back as int ("1", not "1.0").
    if (std::isfinite(x) && x == std::trunc(x) && x >= -9223372036854775808.0 && x < 9223372036854775808.0) {
        return PyLong_FromLongLong(static_cast<long long>(x));
    }
    return PyFloat_FromDouble(x);
}

PyObject* date_to_py(const Date& d) {
    if (!year_in_python_range(d)) {
        PyErr_SetString(PyExc_ValueError, "date is outside Python's year range 1..=9999");
        return nullptr;
    }
    const DatetimeApi* api = datetime_api();
    if (!api) return nullptr;
    unsigned char packed[4];
    pack_date(packed, d);
    return make_temporal(*api, Temporal::Date, packed);
}

PyObject* datetime_to_py(const DateTime& v) {
    if (!year_in_python_range(v.date) || v.time.nanos >= kNanosPerSec) {
        PyErr_SetString(PyExc_ValueError, "datetime is outside Python's supported temporal range");
        return nullptr;
    }
    const DatetimeApi* api = datetime_api();
    if (!api) return nullptr;
    unsigned char packed[10];
    pack_date(packed, v.date);
    pack_time(packed + 4, v.time);
    return make_temporal(*api, Temporal::DateTime, packed);
}

PyObject* time_to_py(const TimeOfDay& t) {
    if (t.nanos >= kNanosPerSec) {
        PyErr_SetString(PyExc_ValueError, "Python cannot represent leap-second times");
        return nullptr;
    }
    const DatetimeApi* api = datetime_api();
    if (!api) return nullptr;
    unsigned char packed[6];
    pack_time(packed, t);
    return make_temporal(*api, Temporal::Time, packed);
}

PyObject* duration_to_py(const Duration& d) {
    // Rounded down to a whole microsecond, then split the way timedelta normalises itself.
    i128 total_us = static_cast<i128>(d.secs) * 1'000'000 + d.nanos / 1000;
    i128 days = total_us / kMicrosPerDay;
    i128 rest = total_us % kMicrosPerDay;
    if (rest < 0) {
        rest += kMicrosPerDay;
        days -= 1;
    }
    if (days < -kMaxPyDays || days > kMaxPyDays) {
        PyErr_SetString(PyExc_OverflowError, "duration is outside Python timedelta's day range");
        return nullptr;
    }
    const DatetimeApi* api = datetime_api();
    if (!api) return nullptr;
    return PyObject_CallFunction(api->of(Temporal::Timedelta), "LLL", static_cast<long long>(days),
                                 static_cast<long long>(rest / 1'000'000), static_cast<long long>(rest % 1'000'000));
}

}  // namespace

std::optional<Value> py_to_value(PyObject* o) {
    if (o == Py_None) return Value();
    if (PyBool_Check(o)) return Value(o == Py_True);
    // Fast paths for the exact built-in types; they give what the general tests below would.
    if (PyFloat_CheckExact(o)) return Value(PyFloat_AsDouble(o));
    if (PyUnicode_CheckExact(o)) {
        if (auto v = text_to_value(o)) return v;
        PyErr_Clear();
        return temporal_to_value(o);
    }
    // The datetime module's own classes have no index or float conversion, so every test before
    // theirs would fail (raising and discarding an exception each time): go straight to them.
    if (const DatetimeApi* api = loaded_datetime_api()) {
        const Temporal exact = exact_class(*api, o);
        if (exact != Temporal::None) return temporal_to_value(*api, o, exact);
    }
    if (is_numpy_bool(o)) {
        if (auto b = numpy_bool_value(o)) return Value(*b);
        PyErr_Clear();
    }
    if (PyLong_Check(o) || PyIndex_Check(o)) {
        PyRef idx = PyLong_Check(o) ? PyRef::borrow(o) : PyRef(PyNumber_Index(o));
        if (idx) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
            if (!(v == -1 && PyErr_Occurred()) && overflow == 0) return Value(static_cast<double>(v));
        }
        PyErr_Clear();
    }
    double d = PyFloat_AsDouble(o);
    if (!(d == -1.0 && PyErr_Occurred())) return Value(d);
    PyErr_Clear();
    if (PyUnicode_Check(o)) {
        if (auto v = text_to_value(o)) return v;
        PyErr_Clear();
    }
    return temporal_to_value(o);
}

PyObject* value_to_py(const Value& v) {
    switch (kind_of(v)) {
        case ValueKind::Empty: Py_RETURN_NONE;
        case ValueKind::String: {
            const Text& s = std::get<Text>(v);
            return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        }
        case ValueKind::Number: return number_to_py(std::get<double>(v));
        case ValueKind::Bool: return PyBool_FromLong(std::get<bool>(v));
        case ValueKind::Date: return date_to_py(std::get<Date>(v));
        case ValueKind::DateTime: return datetime_to_py(std::get<DateTime>(v));
        case ValueKind::Time: return time_to_py(std::get<TimeOfDay>(v));
        case ValueKind::Duration: return duration_to_py(std::get<Duration>(v));
        case ValueKind::Formula: {
            const auto& f = std::get<Formula>(v).text;
            std::string text;
            text.reserve(f.size() + 1);
            text += '=';
            text += f;
            return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        }
    }
    Py_RETURN_NONE;
}

PyObject* rows_to_py_tuples(std::vector<std::vector<CellCopy>>&& rows) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    for (size_t r = 0; r < rows.size(); ++r) {
        auto& row = rows[r];
        PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(row.size())));
        if (!tuple) return nullptr;
        for (size_t c = 0; c < row.size(); ++c) {
            PyObject* item = make_cell(std::move(row[c]));
            if (!item) return nullptr;
            PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(c), item);  // steals item
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), tuple.release());  // steals the tuple
    }
    return list.release();
}

namespace {

// Dates repeat down a column, and date objects are immutable: one conversion serves every cell of
// that day within one call. Bounded, so a column of all-different dates costs no more than before.
class DateCache {
public:
    ~DateCache() {
        for (auto& [key, obj] : cache_) Py_DECREF(obj);
    }
    PyObject* get(uint32_t key) {
        if (auto it = cache_.find(key); it != cache_.end()) {
            Py_INCREF(it->second);
            return it->second;
        }
        PyRef obj(date_to_py(PackedValue::date_of_key(key)));
        if (obj && cache_.size() < kMaxEntries) {
            // The cache takes its reference only once the insertion can no longer throw.
            cache_.emplace(key, obj.get());
            Py_INCREF(obj.get());
        }
        return obj.release();
    }

private:
    static constexpr size_t kMaxEntries = 1 << 16;
    std::unordered_map<uint32_t, PyObject*> cache_;
};

// A long text that many cells share (one shared string read into each) is held once by the band: one
// str serves its cells in the band, as they share one text. A small table of the last strs made,
// placed by the text's address (no allocation, so texts each met once cost next to nothing), emptied
// with each band, whose texts keep the addresses it is keyed by from being reused.
class HeldTexts {
public:
    ~HeldTexts() { clear(); }
    PyObject* get(const PackedValue& v, const std::string& texts) {
        const char* chars = v.held_chars();
        Slot& slot = slots_[(reinterpret_cast<uintptr_t>(chars) >> 4) % kSlots];
        if (slot.chars == chars) return Py_NewRef(slot.str);
        const std::string_view text = v.text(texts);
        PyObject* obj = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (!obj) return nullptr;
        PyObject* old = std::exchange(slot.str, Py_NewRef(obj));
        Py_XDECREF(old);
        slot.chars = chars;
        return obj;
    }
    void clear() {
        for (Slot& slot : slots_) {
            Py_CLEAR(slot.str);
            slot.chars = nullptr;
        }
    }

private:
    static constexpr size_t kSlots = 1024;
    struct Slot {
        const char* chars = nullptr;
        PyObject* str = nullptr;
    };
    std::array<Slot, kSlots> slots_{};
};

// Holds the cyclic collector off while a large result is built: every tuple made would otherwise count
// towards the next collection, which walks the ever longer list again and again.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

// A new Python object for one value of a band.
PyObject* packed_to_py(const PackedValue& v, const std::string& texts, DateCache& dates, HeldTexts& held) {
    switch (v.kind()) {
        case PackedValue::Kind::Empty: return Py_NewRef(Py_None);
        case PackedValue::Kind::Number: return number_to_py(v.number());
        case PackedValue::Kind::Text: {
            if (v.held_text()) return held.get(v, texts);
            const std::string_view text = v.text(texts);
            return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        }
        case PackedValue::Kind::Bool: return PyBool_FromLong(v.boolean());
        case PackedValue::Kind::Date: return dates.get(v.date_key());
        case PackedValue::Kind::DateTime: return datetime_to_py(v.date_time());
        case PackedValue::Kind::Time: return time_to_py(v.time());
        case PackedValue::Kind::Duration: return duration_to_py(v.duration());
    }
    return Py_NewRef(Py_None);
}

}  // namespace

PyObject* value_block_to_py_tuples(ValueBlock&& block) {
    CollectorPause pause;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(block.lines())));
    if (!list) return nullptr;
    DateCache dates;
    HeldTexts held;
    const uint64_t width = block.width();
    Py_ssize_t at = 0;
    for (ValueBand& band : block.bands()) {
        const PackedValue* next = band.values.get();
        for (uint64_t line = 0; line < band.lines; ++line) {
            PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(width)));
            if (!tuple) return nullptr;
            bool holds_container = false;  // an item the cyclic collector tracks
            for (uint64_t i = 0; i < width; ++i, ++next) {
                PyObject* item = packed_to_py(*next, band.texts, dates, held);
                if (!item) return nullptr;
                // Only a value made by Python code (a class standing in for a datetime class) can be one.
                if (next->kind() >= PackedValue::Kind::Date && PyObject_GC_IsTracked(item)) holds_container = true;
                PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
            }
            // A tuple of values that hold no references (numbers, texts, dates) can be in no reference
            // cycle. The collector drops such a tuple from its lists on its first pass over it anyway; done
            // now, that pass does not have to walk every row of a large result.
            if (!holds_container) PyObject_GC_UnTrack(tuple.get());
            PyList_SetItem(list.get(), at++, tuple.release());  // steals the tuple
        }
        held.clear();
        band.release();  // its memory goes back before the next band's objects are made
    }
    return list.release();
}

}  // namespace velmo::python

#include "python/values.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>

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

// The datetime classes, looked up once per process (the limited API has no datetime C API).
struct DatetimeTypes {
    PyObject* date = nullptr;
    PyObject* datetime = nullptr;
    PyObject* time = nullptr;
    PyObject* timedelta = nullptr;
};

DatetimeTypes& datetime_storage() {
    static DatetimeTypes types;
    return types;
}

// The classes once some call has looked them up, else null; never imports.
const DatetimeTypes* loaded_datetime_types() {
    const DatetimeTypes& types = datetime_storage();
    return types.timedelta ? &types : nullptr;
}

const DatetimeTypes* datetime_types() {
    DatetimeTypes& types = datetime_storage();
    if (types.timedelta) return &types;
    PyRef module(PyImport_ImportModule("datetime"));
    if (!module) return nullptr;
    PyRef date(PyObject_GetAttrString(module.get(), "date"));
    PyRef datetime(PyObject_GetAttrString(module.get(), "datetime"));
    PyRef time(PyObject_GetAttrString(module.get(), "time"));
    PyRef timedelta(PyObject_GetAttrString(module.get(), "timedelta"));
    if (!date || !datetime || !time || !timedelta) return nullptr;
    // Kept for the life of the process, like the classes of the module itself.
    types.date = date.release();
    types.datetime = datetime.release();
    types.time = time.release();
    types.timedelta = timedelta.release();
    return &types;
}

// An integer attribute within [lo, hi]; attribute and conversion errors are raised as they come.
bool int_attr(PyObject* o, const char* name, long long lo, long long hi, long long& out) {
    PyRef attr(PyObject_GetAttrString(o, name));
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

std::optional<Date> extract_date(PyObject* o) {
    long long y, m, d;
    if (!int_attr(o, "year", INT32_MIN, INT32_MAX, y)) return std::nullopt;
    if (!int_attr(o, "month", 0, UINT32_MAX, m)) return std::nullopt;
    if (!int_attr(o, "day", 0, UINT32_MAX, d)) return std::nullopt;
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

std::optional<TimeOfDay> extract_time(PyObject* o) {
    long long h, m, s, us;
    if (!int_attr(o, "hour", 0, UINT32_MAX, h)) return std::nullopt;
    if (!int_attr(o, "minute", 0, UINT32_MAX, m)) return std::nullopt;
    if (!int_attr(o, "second", 0, UINT32_MAX, s)) return std::nullopt;
    if (!int_attr(o, "microsecond", 0, UINT32_MAX, us)) return std::nullopt;
    // A second of 59 with a microsecond past 999999 is a leap second, carried as a fraction >= 1 s.
    bool valid = h < 24 && m < 60 && s < 60 && (us < 1'000'000 || (s == 59 && us < 2'000'000));
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "invalid time");
        return std::nullopt;
    }
    return TimeOfDay{static_cast<uint32_t>(h * 3600 + m * 60 + s), static_cast<uint32_t>(us * 1000)};
}

bool reject_timezone(PyObject* o) {
    PyRef tz(PyObject_GetAttrString(o, "tzinfo"));
    if (!tz) return false;
    if (tz.get() != Py_None) {
        PyErr_SetString(PyExc_ValueError, "Excel does not support timezones in datetimes or times");
        return false;
    }
    return true;
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
    auto serial = temporal::to_excel_serial(v);
    if (!serial) {
        raise_velmo_error(std::move(serial.error()));
        return std::nullopt;
    }
    return v;
}

std::optional<Value> timedelta_to_value(PyObject* o) {
    long long days, secs, micros;
    if (!int_attr(o, "days", INT64_MIN, INT64_MAX, days)) return std::nullopt;
    if (!int_attr(o, "seconds", INT64_MIN, INT64_MAX, secs)) return std::nullopt;
    if (!int_attr(o, "microseconds", INT64_MIN, INT64_MAX, micros)) return std::nullopt;
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

// -1 on error, 0 not an instance, 1 an instance.
int instance_of(PyObject* o, PyObject* type) { return PyObject_IsInstance(o, type); }

std::optional<Value> temporal_to_value(PyObject* o) {
    const DatetimeTypes* dt = datetime_types();
    if (!dt) return std::nullopt;
    int r = instance_of(o, dt->datetime);
    if (r < 0) return std::nullopt;
    if (r) {
        if (!reject_timezone(o)) return std::nullopt;
        auto date = extract_date(o);
        if (!date) return std::nullopt;
        auto time = extract_time(o);
        if (!time) return std::nullopt;
        return validate_python_temporal(DateTime{*date, *time});
    }
    if ((r = instance_of(o, dt->time)) < 0) return std::nullopt;
    if (r) {
        if (!reject_timezone(o)) return std::nullopt;
        auto time = extract_time(o);
        if (!time) return std::nullopt;
        return validate_python_temporal(*time);
    }
    if ((r = instance_of(o, dt->timedelta)) < 0) return std::nullopt;
    if (r) return timedelta_to_value(o);
    if ((r = instance_of(o, dt->date)) < 0) return std::nullopt;
    if (r) {
        auto date = extract_date(o);
        if (!date) return std::nullopt;
        return validate_python_temporal(*date);
    }
    PyErr_SetString(PyExc_TypeError, "Unsupported Python value type for velmo.Value");
    return std::nullopt;
}

std::optional<Value> text_to_value(PyObject* o) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (!text) return std::nullopt;
    if (len > 0 && text[0] == '=') return Value(Formula{std::string(text + 1, static_cast<size_t>(len - 1))});
    return Value(std::string(text, static_cast<size_t>(len)));
}

PyObject* number_to_py(double x) {
    // Integral values within the signed 64-bit range come back as int ("1", not "1.0").
    if (std::isfinite(x) && x == std::trunc(x) && x >= -9223372036854775808.0 && x < 9223372036854775808.0) {
        return PyLong_FromLongLong(static_cast<long long>(x));
    }
    return PyFloat_FromDouble(x);
}

bool year_in_python_range(const Date& d) { return int(d.year()) >= 1 && int(d.year()) <= 9999; }

PyObject* date_to_py(const Date& d) {
    if (!year_in_python_range(d)) {
        PyErr_SetString(PyExc_ValueError, "date is outside Python's year range 1..=9999");
        return nullptr;
    }
    const DatetimeTypes* dt = datetime_types();
    if (!dt) return nullptr;
    return PyObject_CallFunction(dt->date, "iII", int(d.year()), unsigned(d.month()), unsigned(d.day()));
}

PyObject* datetime_to_py(const DateTime& v) {
    if (!year_in_python_range(v.date) || v.time.nanos >= kNanosPerSec) {
        PyErr_SetString(PyExc_ValueError, "datetime is outside Python's supported temporal range");
        return nullptr;
    }
    const DatetimeTypes* dt = datetime_types();
    if (!dt) return nullptr;
    uint32_t s = v.time.secs;
    return PyObject_CallFunction(dt->datetime, "iIIIIII", int(v.date.year()), unsigned(v.date.month()),
                                 unsigned(v.date.day()), s / 3600, s / 60 % 60, s % 60, v.time.nanos / 1000);
}

PyObject* time_to_py(const TimeOfDay& t) {
    if (t.nanos >= kNanosPerSec) {
        PyErr_SetString(PyExc_ValueError, "Python cannot represent leap-second times");
        return nullptr;
    }
    const DatetimeTypes* dt = datetime_types();
    if (!dt) return nullptr;
    return PyObject_CallFunction(dt->time, "IIII", t.secs / 3600, t.secs / 60 % 60, t.secs % 60, t.nanos / 1000);
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
    const DatetimeTypes* dt = datetime_types();
    if (!dt) return nullptr;
    return PyObject_CallFunction(dt->timedelta, "LLL", static_cast<long long>(days),
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
    if (const DatetimeTypes* dt = loaded_datetime_types()) {
        const auto* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
        if (type == dt->date || type == dt->datetime || type == dt->time || type == dt->timedelta)
            return temporal_to_value(o);
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
            const auto& s = std::get<std::string>(v);
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

PyObject* rows_to_py_tuples(std::vector<std::vector<CellCopy>>&& rows, bool values_only) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    for (size_t r = 0; r < rows.size(); ++r) {
        auto& row = rows[r];
        PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(row.size())));
        if (!tuple) return nullptr;
        for (size_t c = 0; c < row.size(); ++c) {
            PyObject* item = values_only ? value_to_py(row[c].cell.value) : make_cell(std::move(row[c]));
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
        for (auto& [day, obj] : cache_) Py_DECREF(obj);
    }
    PyObject* get(const Date& d) {
        const int64_t day = std::chrono::sys_days(d).time_since_epoch().count();
        if (auto it = cache_.find(day); it != cache_.end()) {
            Py_INCREF(it->second);
            return it->second;
        }
        PyRef obj(date_to_py(d));
        if (obj && cache_.size() < kMaxEntries) {
            // The cache takes its reference only once the insertion can no longer throw.
            cache_.emplace(day, obj.get());
            Py_INCREF(obj.get());
        }
        return obj.release();
    }

private:
    static constexpr size_t kMaxEntries = 1 << 16;
    std::unordered_map<int64_t, PyObject*> cache_;
};

}  // namespace

namespace {

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

}  // namespace

PyObject* value_grid_to_py_tuples(const ValueGrid& grid) {
    CollectorPause pause;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(grid.lines)));
    if (!list) return nullptr;
    DateCache dates;
    const Value* const* next = grid.values.data();
    for (uint64_t line = 0; line < grid.lines; ++line) {
        PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(grid.width)));
        if (!tuple) return nullptr;
        for (uint64_t i = 0; i < grid.width; ++i, ++next) {
            PyObject* item;
            const Value* v = *next;
            if (!v) {
                item = Py_NewRef(Py_None);
                PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
                continue;
            }
            switch (kind_of(*v)) {
                case ValueKind::Empty: item = Py_NewRef(Py_None); break;
                case ValueKind::Number: item = number_to_py(std::get<double>(*v)); break;
                case ValueKind::Date: item = dates.get(std::get<Date>(*v)); break;
                default: item = value_to_py(*v); break;
            }
            if (!item) return nullptr;
            PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals item
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(line), tuple.release());  // steals the tuple
    }
    return list.release();
}

bool load_datetime_types() { return datetime_types() != nullptr; }

}  // namespace velmo::python

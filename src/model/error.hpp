#pragma once
// The library-wide error of every fallible operation below the Python binding.

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace velmo {

enum class ErrorKind {
    Io,
    Zip,
    Xml,
    InvalidFormat,
    MissingPart,
    DuplicateTableName,
    TableIntersection,
    TranslateUnsupported,
};

struct VelmoError {
    ErrorKind kind;
    // The payload text: the OS/archive/XML error's own text for Io, Zip and Xml; the message,
    // missing part, display name or range otherwise; empty for TranslateUnsupported.
    std::string message;
    // The errno behind an Io error (0 when unknown), so the binding can raise the matching OSError.
    int os_errno = 0;

    static VelmoError io(std::string text, int err = 0) { return {ErrorKind::Io, std::move(text), err}; }
    static VelmoError zip(std::string text) { return {ErrorKind::Zip, std::move(text), 0}; }
    static VelmoError xml(std::string text) { return {ErrorKind::Xml, std::move(text), 0}; }
    static VelmoError invalid_format(std::string text) { return {ErrorKind::InvalidFormat, std::move(text), 0}; }
    static VelmoError missing_part(std::string text) { return {ErrorKind::MissingPart, std::move(text), 0}; }
    static VelmoError duplicate_table_name(std::string name) { return {ErrorKind::DuplicateTableName, std::move(name), 0}; }
    static VelmoError table_intersection(std::string range) { return {ErrorKind::TableIntersection, std::move(range), 0}; }
    static VelmoError translate_unsupported() { return {ErrorKind::TranslateUnsupported, {}, 0}; }

    // The display text, e.g. "missing part: xl/workbook.xml".
    std::string display() const;
};

template <class T>
using Result = std::expected<T, VelmoError>;

// An XML error tells where in a document it arose, not in which part of the package: `part` is
// named first. Errors of other kinds say what they need already and pass unchanged.
inline VelmoError in_part(std::string_view part, VelmoError e) {
    if (e.kind == ErrorKind::Xml) e.message = std::string(part) + ": " + e.message;
    return e;
}

// Shorthand for returning an error from a function whose result is Result<T>.
inline std::unexpected<VelmoError> fail(VelmoError e) { return std::unexpected<VelmoError>(std::move(e)); }

}  // namespace velmo

#include "model/error.hpp"

namespace velmo {

std::string VelmoError::display() const {
    switch (kind) {
    case ErrorKind::Io: return "io: " + message;
    case ErrorKind::Zip: return "zip: " + message;
    case ErrorKind::Xml: return "xml: " + message;
    case ErrorKind::InvalidFormat: return "invalid xlsx format: " + message;
    case ErrorKind::MissingPart: return "missing part: " + message;
    case ErrorKind::DuplicateTableName: return "duplicate table displayName: " + message;
    case ErrorKind::TableIntersection: return "operation intersects table range: " + message;
    case ErrorKind::TranslateUnsupported:
        return "move_range with translate=true is not supported: formula translation is out of scope";
    }
    return message;
}

}  // namespace velmo

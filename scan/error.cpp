#include "scan/error.hpp"

namespace scan {

std::string message(const Error& error) {
    switch (error.kind) {
    case Error::Kind::unreadableFile:
        return "cannot read the file" + (error.detail.empty() ? "" : ": " + error.detail);
    case Error::Kind::unwritableFile:
        return "cannot write the file: " + error.detail;
    case Error::Kind::unusableImage:
        return "not a usable PE32+ image: " + error.detail;
    default:
        return error.detail;
    }
}

int exitStatusOf(Error::Kind kind) {
    switch (kind) {
    case Error::Kind::badArgument:
        return 3;
    case Error::Kind::notFound:
        return 1;
    default:
        return 2;
    }
}

} // namespace scan

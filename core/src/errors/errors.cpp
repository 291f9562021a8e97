#include "korvane/errors.hpp"

#include <cerrno>
#include <cstring>

#include "errors/exact_texts.hpp"
namespace korvane {

namespace {

// glibc with _GNU_SOURCE declares the GNU strerror_r, which returns the text (possibly a static
// string rather than the buffer); the XSI one returns 0 and fills the buffer. Accept both.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) {
    return text;
}
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
    return status == 0 ? buffer : "Unknown error";
}

std::string system_message(int error_number) {
    char buffer[256] = {};
    return strerror_result(strerror_r(error_number, buffer, sizeof buffer), buffer);
}

std::string compose_io_message(std::string_view category, std::string_view details) {
    std::string message;
    message.reserve(32 + category.size() + details.size());
    message.append(exact_texts::io_error)
        .append(category)
        .append(exact_texts::io_error_details)
        .append(details);
    return message;
}

}  // namespace

std::string InvalidModelOrPathError::display() const {
    std::string text(exact_texts::invalid_model_or_path);
    text.append(path).append(".\n").append(message);
    return text;
}

// The categories are texts callers match on: kept exactly (errors/exact_texts.hpp).
std::string_view io_error_category(int error_number) noexcept {
    switch (error_number) {
        case ENOENT:
            return "entity not found";
        case EPERM:
        case EACCES:
            return "permission denied";
        case ECONNREFUSED:
            return "connection refused";
        case ECONNRESET:
            return "connection reset";
        case EHOSTUNREACH:
            return "host unreachable";
        case ENETUNREACH:
            return "network unreachable";
        case ECONNABORTED:
            return "connection aborted";
        case ENOTCONN:
            return "not connected";
        case EADDRINUSE:
            return "address in use";
        case EADDRNOTAVAIL:
            return "address not available";
        case ENETDOWN:
            return "network down";
        case EPIPE:
            return "broken pipe";
        case EEXIST:
            return "entity already exists";
        case EAGAIN:
            return "operation would block";
        case ENOTDIR:
            return "not a directory";
        case EISDIR:
            return "is a directory";
        case ENOTEMPTY:
            return "directory not empty";
        case EROFS:
            return "read-only filesystem or storage medium";
        case ELOOP:
            return "filesystem loop or indirection limit (e.g. symlink loop)";
        case ESTALE:
            return "stale network file handle";
        case EINVAL:
            return "invalid input parameter";
        case ETIMEDOUT:
            return "timed out";
        case ENOSPC:
            return "no storage space";
        case ESPIPE:
            return "seek on unseekable file";
        case EDQUOT:
            return "quota exceeded";
        case EFBIG:
            return "file too large";
        case EBUSY:
            return "resource busy";
        case ETXTBSY:
            return "executable file busy";
        case EDEADLK:
            return "deadlock";
        case EXDEV:
            return "cross-device link or rename";
        case EMLINK:
            return "too many links";
        case ENAMETOOLONG:
            return "invalid filename";
        case E2BIG:
            return "argument list too long";
        case EINTR:
            return "operation interrupted";
        case ENOSYS:
        case EOPNOTSUPP:
            return "unsupported";
        case ENOMEM:
            return "out of memory";
        case EINPROGRESS:
            return "in progress";
        default:
            return "uncategorized error";
    }
}

LoadError LoadError::from_os_error(int error_number) {
    std::string details = system_message(error_number);
    details.append(exact_texts::os_error_number).append(std::to_string(error_number)).append(")");
    return LoadError{compose_io_message(io_error_category(error_number), details)};
}

LoadError LoadError::from_json_error(std::string_view description) {
    std::string message(exact_texts::serde_error);
    message.append(description);
    return LoadError{std::move(message)};
}

LoadError LoadError::from_text(std::string message) {
    return LoadError{std::move(message)};
}

}  // namespace korvane

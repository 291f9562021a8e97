// The error kinds of the korvane core.
//
// Rules of use:
//  1. An expected failure is returned as a value (`std::expected<T, Kind>`). Each kind owns its
//     finished text; none keeps a reference to the failure that caused it.
//  2. `display()` is exactly what a Python caller reads as the exception message.
//  3. A violated bound (a file too short for its own header, offsets beyond the data, a token
//     outside the table) is not an error kind: it throws `InternalFailure`, which only the
//     Python binding's guard catches.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace korvane {

// The model directory is not usable. Composes its display text when displayed.
struct InvalidModelOrPathError {
    std::string path;     // the model directory exactly as the caller gave it
    std::string message;  // the reason

    [[nodiscard]] std::string display() const;
};

// The model file cannot be read or understood. The text is complete when the error is made.
class LoadError {
public:
    // A failure of the operating system, numbered `error_number` (errno):
    // "IO Error: <category>. Details: <strerror text> (os error <n>)".
    [[nodiscard]] static LoadError from_os_error(int error_number);
    // A JSON parse failure: "SerDe Error: " followed by the parser's description.
    [[nodiscard]] static LoadError from_json_error(std::string_view description);
    // A fixed text, used as it stands.
    [[nodiscard]] static LoadError from_text(std::string message);

    [[nodiscard]] const std::string& display() const noexcept { return message; }

    std::string message;
};

// An embedding cannot be computed because the model file could not be loaded.
class EmbedError {
public:
    // Takes the load error's text over unchanged.
    [[nodiscard]] static EmbedError from(LoadError&& error) noexcept {
        return EmbedError{std::move(error.message)};
    }

    [[nodiscard]] const std::string& display() const noexcept { return message; }

    std::string message;
};

// The category text of an operating-system error number ("entity not found" for ENOENT, ...);
// "uncategorized error" for a number outside the table.
[[nodiscard]] std::string_view io_error_category(int error_number) noexcept;

// An operation abandoned at a violated bound. Carries its text to the binding's guard.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace korvane

// The texts korvane_py's callers match on, in one place. They are kept exactly as they are, odd
// spellings included: "models.safetensors" for a file named model.safetensors, "mid > len",
// "SerDe Error". Callers compare them character for character, so none may be "corrected".
//
// Kept exactly elsewhere, each in one place too:
//  - the operating system's error categories ("entity not found", ...): errors/errors.cpp;
//  - the JSON parser's descriptions ("EOF while parsing a value at line 1 column 0", ...):
//    json/json_messages.cpp and json/json.cpp;
//  - korvane_py's own texts, its docstrings' "libary" among them: python/src/interface.hpp
//    (docstrings, argument names) and python/src/arguments.cpp, conversions.cpp, guard.cpp.
// The package (python/korvane, python/native) has no such contract: its texts may change.
#pragma once

#include <string_view>

namespace korvane::exact_texts {

// StaticEmbedding::from_dir, when the directory holds no model.safetensors.
inline constexpr std::string_view missing_model_file =
    "Could not find `models.safetensors` in the specified directory";
// InvalidModelOrPathError: this, the directory as given, ".\n", then the reason.
inline constexpr std::string_view invalid_model_or_path =
    "Invalid model or path to load the model: ";

// LoadError::from_os_error: "IO Error: <category>. Details: <strerror> (os error <errno>)".
inline constexpr std::string_view io_error = "IO Error: ";
inline constexpr std::string_view io_error_details = ". Details: ";
inline constexpr std::string_view os_error_number = " (os error ";
// LoadError::from_json_error: this, then the parser's description.
inline constexpr std::string_view serde_error = "SerDe Error: ";

// The model file is shorter than its 8-byte header length, or than the header it announces.
inline constexpr std::string_view header_beyond_file = "mid > len";
// No header entry describes a tensor korvane_py can read.
inline constexpr std::string_view no_tensor_details =
    "Could not find tensor details for the current safetensors model";

// Internal failures (RuntimeError): "memory allocation of <n> bytes failed", "range start index
// <i> out of range for slice of length <n>", "range end index <i> out of range for slice of
// length <n>", "slice index starts at <i> but ends at <j>".
inline constexpr std::string_view allocation_failed = "memory allocation of ";
inline constexpr std::string_view allocation_failed_end = " bytes failed";
inline constexpr std::string_view range_start = "range start index ";
inline constexpr std::string_view range_end = "range end index ";
inline constexpr std::string_view out_of_range_for_slice = " out of range for slice of length ";
inline constexpr std::string_view slice_starts_at = "slice index starts at ";
inline constexpr std::string_view slice_but_ends_at = " but ends at ";

}  // namespace korvane::exact_texts

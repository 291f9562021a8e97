#include "format/safetensors_header.hpp"

#include <utility>

namespace korvane::safetensors {

namespace {

std::optional<std::vector<std::uint64_t>> unsigned_list(const json::Value& value) {
    const json::Array* items = value.if_array();
    if (items == nullptr) return std::nullopt;
    std::vector<std::uint64_t> numbers;
    numbers.reserve(items->size());
    for (const json::Value& item : *items) {
        const std::uint64_t* number = item.if_unsigned();
        if (number == nullptr) return std::nullopt;
        numbers.push_back(*number);
    }
    return numbers;
}

}  // namespace

std::optional<Entry> decode_entry(const json::Value& value) {
    const json::Value* dtype = nullptr;
    const json::Value* shape = nullptr;
    const json::Value* data_offsets = nullptr;
    Entry entry;
    if (const json::Array* items = value.if_array()) {
        if (items->size() != 3) return std::nullopt;
        entry.as_list = true;
        dtype = &(*items)[0];
        shape = &(*items)[1];
        data_offsets = &(*items)[2];
    } else if (const json::Object* members = value.if_object()) {
        for (const auto& [key, member] : *members) {
            if (key == "dtype") dtype = &member;
            if (key == "shape") shape = &member;
            if (key == "data_offsets") data_offsets = &member;
        }
        if (dtype == nullptr || shape == nullptr || data_offsets == nullptr) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (const std::string* name = dtype->if_string()) {
        entry.dtype = *name;
    } else if (const json::Object* object = dtype->if_object();
               object != nullptr && object->size() == 1 && object->front().value.is_null()) {
        entry.dtype = object->front().key;
        entry.dtype_as_object = true;
    } else {
        return std::nullopt;
    }
    auto dimensions = unsigned_list(*shape);
    const auto offsets = unsigned_list(*data_offsets);
    if (!dimensions || !offsets || offsets->size() != 2) return std::nullopt;
    entry.shape = std::move(*dimensions);
    entry.data_offsets = {(*offsets)[0], (*offsets)[1]};
    return entry;
}

}  // namespace korvane::safetensors

#include "tokenizer/normalizers/sequence.hpp"

#include <array>
#include <utility>

#include "tokenizer/json_fields.hpp"

namespace korvane::tokenizer {

namespace {

// The step of type `type`: its reader.
struct StepKind {
    std::string_view type;
    std::expected<NormalizerStep, std::string> (*read)(const json::Object& part);
};

template <typename Step>
std::expected<NormalizerStep, std::string> read_step(const json::Object& part) {
    auto step = Step::from_json(part);
    if (!step) return std::unexpected(std::move(step.error()));
    return NormalizerStep(std::in_place_type<Step>, std::move(*step));
}

std::expected<NormalizerStep, std::string> read_lowercase(const json::Object&) {
    return NormalizerStep(std::in_place_type<BertNormalizer>,
                          BertNormalizer::Options{.lowercase = true});
}

constexpr std::array step_kinds{
    StepKind{"BertNormalizer", read_step<BertNormalizer>},
    StepKind{"Lowercase", read_lowercase},
    StepKind{"Strip", read_step<Strip>},
    StepKind{"Replace", read_step<Replace>},
    StepKind{"NFKC", read_step<UnicodeForm>},
    StepKind{"NFC", read_step<UnicodeForm>},
    StepKind{"NFKD", read_step<UnicodeForm>},
    StepKind{"NFD", read_step<UnicodeForm>},
    StepKind{"StripAccents", read_step<StripAccents>},
    StepKind{"Prepend", read_step<Prepend>},
    StepKind{"Precompiled", read_step<Precompiled>},
};

// Sequences nested deeper than this are refused.
constexpr int max_depth = 16;

}  // namespace

std::expected<void, std::string> NormalizerSequence::add(const json::Object& part, int depth) {
    const json::Value* type_value = member(part, "type");
    const std::string type = type_value != nullptr && type_value->if_string() != nullptr
                                 ? *type_value->if_string()
                                 : std::string("?");
    if (type == "Sequence") {
        const json::Value* list = member(part, "normalizers");
        if (list == nullptr || list->if_array() == nullptr || depth >= max_depth)
            return std::unexpected("the normalizer Sequence has no list of normalizers");
        for (const json::Value& item : *list->if_array()) {
            if (item.if_object() == nullptr)
                return std::unexpected("a normalizer of the Sequence is not an object");
            auto added = add(*item.if_object(), depth + 1);
            if (!added) return added;
        }
        return {};
    }
    for (const StepKind& kind : step_kinds) {
        if (kind.type != type) continue;
        auto step = kind.read(part);
        if (!step) return std::unexpected(std::move(step.error()));
        steps_.push_back(std::move(*step));
        return {};
    }
    std::string names;
    for (const StepKind& kind : step_kinds) names += std::string(kind.type) + ", ";
    return std::unexpected("the normalizer is " + type + ", not " + names + "or Sequence");
}

std::expected<NormalizerSequence, std::string> NormalizerSequence::from_json(
    const json::Object& part) {
    NormalizerSequence sequence;
    auto added = sequence.add(part, 0);
    if (!added) return std::unexpected(std::move(added.error()));
    return sequence;
}

bool NormalizerSequence::normalize(std::string_view text, std::string& out,
                                   Scratch& scratch) const {
    if (steps_.empty()) {
        out.append(text);
        return true;
    }
    // Each step writes to one of the scratch's two strings, the last to `out`.
    std::string_view input = text;
    for (std::size_t index = 0; index < steps_.size(); ++index) {
        const bool last = index + 1 == steps_.size();
        std::string& target = last ? out : scratch.sequence_steps[index % 2];
        if (!last) target.clear();
        const bool done =
            std::visit([&](const auto& step) { return step.normalize(input, target, scratch); },
                       steps_[index]);
        if (!done) return false;
        input = target;
    }
    return true;
}

}  // namespace korvane::tokenizer

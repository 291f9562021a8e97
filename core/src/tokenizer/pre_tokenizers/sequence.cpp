#include "tokenizer/pre_tokenizers/sequence.hpp"

#include <array>
#include <utility>

#include "tokenizer/json_fields.hpp"

namespace korvane::tokenizer {

namespace {

struct StepKind {
    std::string_view type;
    std::expected<PreTokenizerStep, std::string> (*read)(const json::Object& part);
};

template <typename Step>
std::expected<PreTokenizerStep, std::string> read_step(const json::Object& part) {
    auto step = Step::from_json(part);
    if (!step) return std::unexpected(std::move(step.error()));
    return PreTokenizerStep(std::in_place_type<Step>, std::move(*step));
}

constexpr std::array step_kinds{
    StepKind{"BertPreTokenizer", read_step<BertPreTokenizer>},
    StepKind{"Metaspace", read_step<Metaspace>},
    StepKind{"WhitespaceSplit", read_step<WhitespaceSplit>},
    StepKind{"Whitespace", read_step<Whitespace>},
    StepKind{"Punctuation", read_step<Punctuation>},
    StepKind{"Split", read_step<SplitPattern>},
    StepKind{"Digits", read_step<Digits>},
    StepKind{"ByteLevel", read_step<ByteLevelPreTokenizer>},
};

}  // namespace

std::expected<PreTokenizerSequence, std::string> PreTokenizerSequence::from_json(
    const json::Object& part) {
    PreTokenizerSequence sequence;
    const json::Value* list = member(part, "pretokenizers");
    if (list == nullptr || list->if_array() == nullptr)
        return std::unexpected("the pre-tokenizer Sequence has no list of pre-tokenizers");
    int metaspaces = 0;
    int byte_levels = 0;
    for (const json::Value& item : *list->if_array()) {
        const json::Object* object = item.if_object();
        const std::string type = part_type(item);
        const StepKind* kind = nullptr;
        for (const StepKind& candidate : step_kinds)
            if (candidate.type == type) kind = &candidate;
        if (object == nullptr || kind == nullptr)
            return std::unexpected("the pre-tokenizer Sequence holds " + type);
        auto step = kind->read(*object);
        if (!step) return std::unexpected(std::move(step.error()));
        if (const auto* metaspace = std::get_if<Metaspace>(&*step)) {
            if (++metaspaces > 1 || metaspace->prepends_first())
                return std::unexpected(
                    "the pre-tokenizer Sequence holds a second Metaspace or one of scheme first");
        }
        if (std::holds_alternative<ByteLevelPreTokenizer>(*step) && ++byte_levels > 1)
            return std::unexpected("the pre-tokenizer Sequence holds a second ByteLevel");
        sequence.steps_.push_back(std::move(*step));
    }
    return sequence;
}

}  // namespace korvane::tokenizer

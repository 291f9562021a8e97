// Reading tokenizer.json: each stage's part is handed, by its "type", to that stage's own reader.
// Truncation, padding, the post-processor and the decoder do not change the IDs and are ignored.

#include <array>
#include <string>
#include <utility>

#include "korvane/tokenizer/tokenizer.hpp"
#include "tokenizer/json_fields.hpp"
#include "tokenizer/pipeline.hpp"

namespace korvane {

namespace {

using namespace tokenizer;

// A stage's kind: its "type" and its reader, which makes the stage's variant `Stage`.
template <typename Stage>
struct Kind {
    std::string_view type;
    std::expected<Stage, std::string> (*read)(const json::Object& part);
};

// The reader of `Alternative`, as one of the kinds of `Stage`.
template <typename Stage, typename Alternative>
std::expected<Stage, std::string> read_as(const json::Object& part) {
    auto alternative = Alternative::from_json(part);
    if (!alternative) return std::unexpected(std::move(alternative.error()));
    // Built in place in the result: GCC 12 at -O1 with the sanitizers warns, wrongly, that a
    // moved temporary variant "may be used uninitialized".
    return std::expected<Stage, std::string>(std::in_place, std::in_place_type<Alternative>,
                                             std::move(*alternative));
}

constexpr std::array models{
    Kind<Model>{"WordPiece", read_as<Model, WordPiece>},
    Kind<Model>{"Unigram", read_as<Model, Unigram>},
    Kind<Model>{"WordLevel", read_as<Model, WordLevel>},
    Kind<Model>{"BPE", read_as<Model, Bpe>},
};
constexpr std::array normalizers{
    Kind<Normalizer>{"BertNormalizer", read_as<Normalizer, BertNormalizer>},
    Kind<Normalizer>{"Sequence", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"Lowercase", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"Strip", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"Replace", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"NFKC", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"NFC", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"NFKD", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"NFD", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"StripAccents", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"Prepend", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"Precompiled", read_as<Normalizer, NormalizerSequence>},
    Kind<Normalizer>{"ByteLevel", read_as<Normalizer, ByteLevelNormalizer>},
};
constexpr std::array pre_tokenizers{
    Kind<PreTokenizer>{"BertPreTokenizer", read_as<PreTokenizer, BertPreTokenizer>},
    Kind<PreTokenizer>{"Metaspace", read_as<PreTokenizer, Metaspace>},
    Kind<PreTokenizer>{"WhitespaceSplit", read_as<PreTokenizer, WhitespaceSplit>},
    Kind<PreTokenizer>{"Whitespace", read_as<PreTokenizer, Whitespace>},
    Kind<PreTokenizer>{"Punctuation", read_as<PreTokenizer, Punctuation>},
    Kind<PreTokenizer>{"Digits", read_as<PreTokenizer, Digits>},
    Kind<PreTokenizer>{"Sequence", read_as<PreTokenizer, PreTokenizerSequence>},
    Kind<PreTokenizer>{"Split", read_as<PreTokenizer, SplitPattern>},
    Kind<PreTokenizer>{"ByteLevel", read_as<PreTokenizer, ByteLevelPreTokenizer>},
};

// The kinds' types, for an error: "A", "A or B", ...
template <typename Stage, std::size_t count>
std::string type_names(const std::array<Kind<Stage>, count>& kinds) {
    std::string names;
    for (const auto& kind : kinds) {
        if (!names.empty()) names += " or ";
        names += kind.type;
    }
    return names;
}

// The kind of `part` among `kinds`, or null.
template <typename Stage, std::size_t count>
const Kind<Stage>* kind_of(const json::Value* part, const std::array<Kind<Stage>, count>& kinds) {
    if (part == nullptr) return nullptr;
    const std::string type = part_type(*part);
    for (const auto& kind : kinds)
        if (kind.type == type) return &kind;
    return nullptr;
}

}  // namespace

std::expected<Tokenizer, std::string> Tokenizer::from_json(std::string_view json_text) {
    auto parsed = json::parse_object(json_text);
    if (!parsed) return std::unexpected("tokenizer.json is not valid JSON: " + parsed.error());
    const json::Object& root = *parsed;

    const json::Value* model_part = member(root, "model");
    const auto* model_kind = kind_of(model_part, models);
    if (model_kind == nullptr) return std::unexpected("the model is not " + type_names(models));
    auto model = model_kind->read(*model_part->if_object());
    if (!model) return std::unexpected(std::move(model.error()));

    Normalizer normalizer = no_normalizer();
    if (const json::Value* part = member(root, "normalizer"); part && !part->is_null()) {
        const auto* kind = kind_of(part, normalizers);
        if (kind == nullptr)
            return std::unexpected("the normalizer is " + part_type(*part) + ", not " +
                                   type_names(normalizers));
        auto read = kind->read(*part->if_object());
        if (!read) return std::unexpected(std::move(read.error()));
        normalizer = std::move(*read);
    }

    const json::Value* pre_tokenizer_part = member(root, "pre_tokenizer");
    const auto* pre_tokenizer_kind = kind_of(pre_tokenizer_part, pre_tokenizers);
    const bool no_pre_tokenizer = pre_tokenizer_part == nullptr || pre_tokenizer_part->is_null();
    if (pre_tokenizer_kind == nullptr && !no_pre_tokenizer)
        return std::unexpected("the pre-tokenizer is " + part_type(*pre_tokenizer_part) + ", not " +
                               type_names(pre_tokenizers));
    auto pre_tokenizer = no_pre_tokenizer
                             ? std::expected<PreTokenizer, std::string>(WholeText{})
                             : pre_tokenizer_kind->read(*pre_tokenizer_part->if_object());
    if (!pre_tokenizer) return std::unexpected(std::move(pre_tokenizer.error()));
    if (const auto* metaspace = std::get_if<Metaspace>(&*pre_tokenizer);
        metaspace != nullptr && !metaspace->may_follow(member(root, "normalizer")))
        return std::unexpected(
            "the Metaspace prepend_scheme first follows a normalizer that removes characters");

    auto state = std::make_unique<State>(
        State{std::move(*model), std::move(normalizer), std::move(*pre_tokenizer), {}, {}, 0});
    // Added tokens: the vocabulary's ID for a token it holds, else the next free ID in order.
    auto next_id = static_cast<std::uint32_t>(
        std::visit([](const auto& stage) { return stage.vocabulary_size(); }, state->model));
    if (const json::Value* added = member(root, "added_tokens"); added && !added->is_null()) {
        if (added->if_array() == nullptr) return std::unexpected("added_tokens is not a list");
        const auto vocabulary_id = [&](std::string_view token) {
            return std::visit([&](const auto& stage) { return stage.token_to_id(token); },
                              state->model);
        };
        auto tokens = read_added_tokens(*added->if_array(), vocabulary_id, next_id);
        if (!tokens) return std::unexpected(std::move(tokens.error()));
        Scratch scratch;
        for (auto& [token, normalized] : *tokens) {
            if (normalized) {
                std::string normalized_content;
                if (!state->normalize(token.content, normalized_content, scratch))
                    return std::unexpected(
                        "an added token holds a character unknown to the "
                        "character table");
                // tokenizers would match the empty text between any two characters, splitting
                // every word and failing inside a multibyte character.
                if (normalized_content.empty())
                    return std::unexpected("the added token of ID " + std::to_string(token.id) +
                                           " is normalized to an empty text");
                token.content = std::move(normalized_content);
                // tokenizers then takes either of them, differently from run to run.
                if (!state->normalized_tokens.add(std::move(token)))
                    return std::unexpected(
                        "two normalized added tokens have the same "
                        "normalized form");
            } else {
                (void)state->raw_tokens.add(std::move(token));  // contents are distinct
            }
        }
    }
    state->id_count = next_id;
    return Tokenizer(std::move(state));
}

}  // namespace korvane

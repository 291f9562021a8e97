#include "korvane/tokenizer/tokenizer.hpp"

#include <utility>

#include "tokenizer/pipeline.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/file_io.hpp"
#include "util/utf8.hpp"

namespace korvane {

namespace {

// Each thread's scratch, taken once per text and handed down the stages.
tokenizer::Scratch& thread_scratch() {
    thread_local tokenizer::Scratch scratch;
    return scratch;
}

// What tokenizes the words of a text on the calling thread: the model's own for a run of words
// where it has one, else its tokenize_word.
template <typename Model>
auto thread_words(const Model& model) {
    if constexpr (requires { model.thread_words(); }) {
        return model.thread_words();
    } else {
        return [&model](std::string_view word, std::vector<std::uint32_t>& ids) {
            model.tokenize_word(word, ids);
        };
    }
}

}  // namespace

bool Tokenizer::State::normalize(std::string_view text, std::string& out,
                                 tokenizer::Scratch& scratch) const {
    return std::visit(
        [&](const auto& normalizer) { return normalizer.normalize(text, out, scratch); },
        normalizer);
}

void Tokenizer::State::tokenize_normalized(std::string_view text, std::vector<std::uint32_t>& ids,
                                           tokenizer::Scratch& scratch) const {
    std::visit(
        [&](const auto& pre_tokenizer, const auto& model) {
            const auto tokenize_word = thread_words(model);
            pre_tokenizer.split(text, scratch,
                                [&](std::string_view word) { tokenize_word(word, ids); });
        },
        pre_tokenizer, model);
    scratch.first_segment = false;
}

bool Tokenizer::State::tokenize_segment(std::string_view text, std::vector<std::uint32_t>& ids,
                                        tokenizer::Scratch& scratch) const {
    std::string& normalized = scratch.normalized;
    normalized.clear();
    if (!normalize(text, normalized, scratch)) return false;
    const std::string_view rest = normalized;
    std::size_t done = 0;
    if (!normalized_tokens.empty()) {
        if (!normalized_tokens.find_all(rest, scratch.normalized_matches, scratch.found_tokens))
            return false;
        for (const auto& match : scratch.normalized_matches) {
            tokenize_normalized(rest.substr(done, match.start - done), ids, scratch);
            ids.push_back(match.id);
            done = match.end;
        }
    }
    tokenize_normalized(rest.substr(done), ids, scratch);
    return !scratch.deferred;
}

Tokenizer::Outcome Tokenizer::tokenize(std::string_view text, std::vector<std::uint32_t>& ids,
                                       const Cancellation* cancellation) const {
    // Validate first, so that a failure leaves `ids` untouched and later code may trust the text.
    if (!utf8::is_valid(text)) return Outcome::invalid_utf8;
    const State& state = *state_;
    tokenizer::Scratch& scratch = thread_scratch();
    scratch.start(cancellation);
    // The IDs go straight to `ids`, cut back to where they started when the text is given up.
    const std::size_t start = ids.size();
    const auto given_up = [&](Outcome outcome) {
        ids.resize(start);
        return outcome;
    };
    const auto deferred_or_cancelled = [&] {
        return given_up(scratch.cancelled ? Outcome::cancelled : Outcome::deferred);
    };
    std::size_t done = 0;
    if (!state.raw_tokens.empty()) {
        if (!state.raw_tokens.find_all(text, scratch.raw_matches, scratch.found_tokens))
            return Outcome::deferred;
        for (const auto& match : scratch.raw_matches) {
            if (!state.tokenize_segment(text.substr(done, match.start - done), ids, scratch))
                return deferred_or_cancelled();
            ids.push_back(match.id);
            done = match.end;
        }
    }
    if (!state.tokenize_segment(text.substr(done), ids, scratch)) return deferred_or_cancelled();
    if (scratch.cancelled || (cancellation != nullptr && cancellation->requested()))
        return given_up(Outcome::cancelled);
    return Outcome::tokenized;
}

std::expected<Tokenizer, std::string> Tokenizer::from_file(const std::filesystem::path& path) {
    auto text = read_text_file(path);
    if (!text) return std::unexpected("cannot read " + path.string());
    return from_json(*text);
}

Tokenizer::Tokenizer(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Tokenizer::Tokenizer(Tokenizer&&) noexcept = default;
Tokenizer& Tokenizer::operator=(Tokenizer&&) noexcept = default;
Tokenizer::~Tokenizer() = default;

std::size_t Tokenizer::id_count() const noexcept {
    return state_->id_count;
}

std::string_view unicode_version() noexcept {
    return unicode::library_version;
}

}  // namespace korvane

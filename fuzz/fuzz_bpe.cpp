// The byte-level BPE tokenizer on arbitrary bytes, with the tokenizer of fuzz/bpe/tokenizer.json
// (make_bpe_corpus.py): the inputs, the recorded IDs and the checks of fuzz_wordpiece.cpp, whose
// target this is with another tokenizer.json (KORVANE_FUZZ_WORDPIECE_JSON, set by CMake).
#include "fuzz_wordpiece.cpp"

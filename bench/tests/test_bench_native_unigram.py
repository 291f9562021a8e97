"""The Unigram benchmark's report: speed-ups relative to the native path, MB/s per core."""

import native_unigram


def test_markdown_reports_speed_ups_and_rates():
    results = {
        "sentences": 1000,
        "model": "Unigram, 10 pieces x 4 F32",
        "agreement": 1e-7,
        "rates": {
            "native": {"best": 900.0, "median": 800.0},
            "tokenizers": {"best": 100.0, "median": 90.0},
            "model2vec": {"best": 150.0, "median": 120.0},
        },
        "per_core": {"Unigram": 20.25, "WordPiece": 40.0},
    }
    text = native_unigram.markdown(results)
    assert "| Model.encode, tokenizers path | 100 | 90 | 9.0 x |" in text
    assert "| model2vec's encode | 150 | 120 | 6.0 x |" in text
    assert "| Unigram | 20.2 |" in text or "| Unigram | 20.3 |" in text
    assert "| WordPiece | 40.0 |" in text


def test_multilingual_texts_cover_each_script():
    texts = native_unigram.multilingual(200)
    first_letters = {ord(text[0]) for text in texts}
    for low, high in native_unigram.SCRIPT_RANGES:
        assert any(low <= point <= high for point in first_letters)

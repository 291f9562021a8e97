"""Writes model.safetensors files for the tests."""

import numpy as np

from korvane_dev.model_file import model_file_bytes


def write_model(directory, table):
    """Writes `table` (rows of floats) as the F32 tensor of `directory`/model.safetensors."""
    data = np.asarray(table, dtype="<f4").tobytes()
    shape = list(np.shape(table))
    header = {"embeddings": {"dtype": "F32", "shape": shape, "data_offsets": [0, len(data)]}}
    (directory / "model.safetensors").write_bytes(model_file_bytes(header, data))
    return str(directory)


def write_transformer_tokenizer(path, vocabulary):
    """A WordLevel tokenizer over `vocabulary` (which starts [PAD], [UNK], [CLS], [SEP]) saved the
    way transformer models ship theirs: it adds [CLS] and [SEP], pads to 12 tokens and truncates
    at 12, all of which korvane must undo."""
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors

    tokenizer = Tokenizer(
        models.WordLevel({word: i for i, word in enumerate(vocabulary)}, unk_token="[UNK]")
    )
    tokenizer.normalizer = normalizers.Lowercase()
    tokenizer.pre_tokenizer = pre_tokenizers.Whitespace()
    tokenizer.post_processor = processors.TemplateProcessing(
        single="[CLS] $A [SEP]", special_tokens=[("[CLS]", 2), ("[SEP]", 3)]
    )
    tokenizer.enable_padding(length=12, pad_id=0, pad_token="[PAD]")
    tokenizer.enable_truncation(max_length=12)
    tokenizer.save(str(path))
    return path

# Type stub of korvane_py, written by korvane_stubgen. Do not edit.
import builtins
import typing

__all__ = ["StaticEmbedding"]

@typing.final
class StaticEmbedding:
    def __new__(cls, model_dir: builtins.str, normalize: builtins.bool = True) -> StaticEmbedding:
        """Creates a `StaticEmbedding` from a local directory.

        The directory must contain at least `model.safetensors`. When the
        `tokenizers` feature is enabled, `tokenizer.json` is also required.

        # Arguments
        * `model_dir` - Path to the model directory.
        * `normalize` - If `True`, output embeddings will be L2-normalized.
        """

    def embed_tokens(self, tokens: typing.Sequence[builtins.int]) -> builtins.list[builtins.float]:
        """Generates an embedding for a pre-tokenized sequence of token IDs (use whatever tokenization
        libary you prefer to generate tokens).

        The tensor is loaded lazily on first call. Embeddings are mean-pooled
        and optionally normalized.
        """

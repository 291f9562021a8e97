"""The comparison peer of bench/serve.py: a FastAPI app around model2vec's StaticModel.encode,
written the way its users write one, run by uvicorn with one worker. The model directory comes
in SERVE_PEER_MODEL."""

import os

from fastapi import FastAPI
from model2vec import StaticModel
from pydantic import BaseModel

model = StaticModel.from_pretrained(os.environ["SERVE_PEER_MODEL"])
app = FastAPI()


class EmbeddingRequest(BaseModel):
    input: str | list[str]
    model: str = "m"


@app.post("/v1/embeddings")
def embeddings(request: EmbeddingRequest):
    texts = [request.input] if isinstance(request.input, str) else request.input
    vectors = model.encode(texts)
    return {
        "object": "list",
        "data": [
            {"object": "embedding", "index": index, "embedding": vector.tolist()}
            for index, vector in enumerate(vectors)
        ],
        "model": request.model,
        "usage": {"prompt_tokens": 0, "total_tokens": 0},
    }

"""What the tests, the benchmarks and the examples share: model files built byte by byte
(model_file), the benchmark corpus (corpus_text) and the demo's model directories (demo_model).

Importable wherever the repository's environment is used: `make` puts this folder on the
environment's path (a korvane-dev.pth file), pytest through its `pythonpath` setting."""

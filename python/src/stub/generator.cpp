// korvane_stubgen OUTPUT: writes the type stub described by the records registered when this
// program was loaded to the file OUTPUT.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "description.hpp"
#include "writer.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: korvane_stubgen OUTPUT\n";
        return 2;
    }
    const auto classes = korvane::stub::class_registry().records();
    const auto method_blocks = korvane::stub::method_block_registry().records();
    const auto stub = korvane::stub::render_stub(classes, method_blocks);
    if (!stub) {
        std::cerr << "korvane_stubgen: " << stub.error().message << "\n";
        return 1;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << *stub;
    out.close();
    if (!out) {
        std::cerr << "korvane_stubgen: cannot write " << argv[1] << "\n";
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}

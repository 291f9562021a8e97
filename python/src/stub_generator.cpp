// korvane_stubgen MODULE OUTPUT: writes the type stub of MODULE, as described by the records
// registered when this program was loaded, to the file OUTPUT.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "stub_description.hpp"
#include "stub_writer.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: korvane_stubgen MODULE OUTPUT\n";
        return 2;
    }
    const auto classes = korvane::stub::class_registry().records();
    const auto method_blocks = korvane::stub::method_block_registry().records();
    const auto stub = korvane::stub::render_stub(argv[1], classes, method_blocks);
    if (!stub) {
        std::cerr << "korvane_stubgen: " << stub.error().message << "\n";
        return 1;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << *stub;
    out.close();
    if (!out) {
        std::cerr << "korvane_stubgen: cannot write " << argv[2] << "\n";
        std::remove(argv[2]);
        return 1;
    }
    return 0;
}

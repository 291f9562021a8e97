#include "description.hpp"

namespace korvane::stub {

namespace {

// Constant-initialised, so load-time initialisers of any translation unit may add to them.
constinit Registry<ClassDescription> classes;
constinit Registry<MethodBlockDescription> method_blocks;

}  // namespace

Registry<ClassDescription>& class_registry() noexcept {
    return classes;
}
Registry<MethodBlockDescription>& method_block_registry() noexcept {
    return method_blocks;
}

}  // namespace korvane::stub

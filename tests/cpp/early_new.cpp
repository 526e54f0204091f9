// Another source file of the game, standing for a library linked into it:
// its static object calls new while the program starts, before main and
// before the game has registered any context.
#include <string>

namespace {

struct LibraryState {
    std::string* path = new std::string(64, 'p');
};

LibraryState library_state;

}  // namespace

std::string* early_block() {
    return library_state.path;
}

// POSIX has no mini dump: the call reports failure and creates no file.
#include "tarvex/tarvex.h"

bool Tarvex::mini_dump(_EXCEPTION_POINTERS*, const char*) {
    return false;
}

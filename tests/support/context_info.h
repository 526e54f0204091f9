// The library's figures for one context, as a host reads them.
#pragma once

#include <stdint.h>

#include "tarvex/tarvex.h"

// The record of the context with the id; an empty record when there is none.
inline Tarvex::ContextBase context_info_of(uint32_t id) {
    Tarvex::ContextBase infos[64];
    const uint32_t count = Tarvex::get_context_info(infos, 64);
    for (uint32_t i = 0; i < count; ++i) {
        if (infos[i].id == id) return infos[i];
    }
    return Tarvex::ContextBase();
}

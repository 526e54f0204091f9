#pragma once

#include "contexts/mem_context.h"

namespace tarvex {

// Constructs the context class for a type code, in the block layout its
// flags ask for, in storage from the runtime heap; null when the heap has
// none. The context is not yet initialised.
MemContext* create_context_object(uint16_t type, uint16_t flags);

// Runs the context's shutdown and destructor and gives its storage back.
void destroy_context_object(MemContext* context);

}  // namespace tarvex

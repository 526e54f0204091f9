// The five names that belong to the library. They are told apart from equal
// texts by their address, so they are never copied and never released.
#pragma once

namespace tarvex {

enum StaticName { empty_name, not_available_name, global_name, library_name, init_data_name };

extern const char* const static_names[5];

bool is_static_name(const char* text);

}  // namespace tarvex

// Reads back what a test made the library write.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

inline std::string read_file(const char* name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool file_exists(const char* name) {
    return std::ifstream(name).good();
}

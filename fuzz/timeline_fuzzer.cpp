// Feeds arbitrary bytes to the native timeline reader as a file would: the
// first 16 as the header, the rest as chunks whose lengths the input gives.
// A bad file must end in a ReadError, never in a fault or a read outside a
// chunk; the chunk is copied to a buffer of exactly its size so that such a
// read is caught.
#include <stddef.h>
#include <stdint.h>

#include <cstring>
#include <vector>

#include "timeline_reader.h"

using tarvex::timeline::header_size;
using tarvex::timeline::Reader;
using tarvex::timeline::ReadError;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < header_size) return 0;
    Reader reader;
    try {
        reader.header(data, header_size);
        size_t at = header_size;
        while (at + 2 <= size) {
            // A two-byte length keeps chunks within what the fuzzer makes.
            size_t length = data[at] | data[at + 1] << 8;
            at += 2;
            if (length > size - at) length = size - at;
            std::vector<uint8_t> chunk(data + at, data + at + length);
            reader.chunk(chunk.data(), chunk.size(), at);
            at += length;
        }
        reader.finish();
    } catch (const ReadError&) {
    }
    return 0;
}

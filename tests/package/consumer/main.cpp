#include <cstdio>

#include "tarvex/classic.h"
#include "tarvex/tarvex.h"

int main() {
    Tarvex::context_init(Tarvex::ContextBase("Consumer", 0x1234));
    void* block = Tarvex::std_alloc(32, 0x1234);
    void* handle = TXInit(256, 0);
    void* piece = handle ? TXGetStor(handle, 16) : nullptr;
    const bool ok = block != nullptr && piece != nullptr;
    Tarvex::std_free(block, 0x1234);
    if (handle) TXFreeBlock(handle);
    std::printf(ok ? "consumer ok\n" : "consumer failed\n");
    return ok ? 0 : 1;
}

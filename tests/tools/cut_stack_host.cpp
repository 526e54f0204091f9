// A game whose code has no unwind tables (built with
// -fno-asynchronous-unwind-tables, as some hand-tuned or C-only modules are):
// the unwinder finds no caller for its frames, so the walk of its leak's
// stack stops at the first of them, and the report marks the stack as cut
// there. The tool's tests read the exit report.
#include <stdint.h>

#include "tarvex/tarvex.h"

constexpr uint32_t cut_context = 0x38;

volatile uint32_t sink = 0;

// Work after the call keeps it a call, not a jump that leaves no frame.
extern "C" __attribute__((noinline)) void* allocate_without_tables(uint32_t size) {
    void* block = Tarvex::std_alloc(size, cut_context);
    sink = sink + size;
    return block;
}

int main() {
    Tarvex::context_init(Tarvex::ContextBase("Cut stacks", cut_context));
    void* leaked = allocate_without_tables(40);
    sink = sink + (leaked != nullptr);
    return 0;
}

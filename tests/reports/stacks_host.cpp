// "BackTraceMode: 2": the leak report's StackTrace of a block names the
// function that allocated it, function names are escaped while info texts are
// not, and the stack dump starts at the function that asked for it. Checked
// after exit by check_stacks.cmake.
#include "expected_text.h"
#include "tarvex/tarvex.h"

constexpr uint32_t stacks_context = 0x20;

struct Holder {
    int value;
};

// A template with a reference argument gives a function name with "<", ">"
// and "&" in it.
template <typename T>
__attribute__((noinline)) void* allocate_for_holder() {
    void* block = Tarvex::std_alloc(sizeof(T) + 20, stacks_context);
    __asm__ volatile("" ::: "memory");
    return block;
}

__attribute__((noinline)) void* allocate_stacked_block() {
    void* block = Tarvex::std_alloc(24, stacks_context);
    __asm__ volatile("" ::: "memory");
    return block;
}

__attribute__((noinline)) void report_my_stack() {
    Tarvex::dump_stack_trace();
    __asm__ volatile("" ::: "memory");
}

int main() {
    Tarvex::the_config.log_func = log_to_file;
    Tarvex::context_init(Tarvex::ContextBase("Stacks", stacks_context));
    void* plain = allocate_stacked_block();
    void* templated = allocate_for_holder<Holder&>();
    Tarvex::mem_track_set_info(stacks_context, templated, "a<b&c");
    report_my_stack();
    (void)plain;
    return 0;
}

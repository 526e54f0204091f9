// Leaks in three contexts and one unknown id, reported at exit and on
// demand: group and fragment order, the Context statistics, the cut name,
// escaped texts, CRLF lines, the counters, and files that cannot be made.
#include <cinttypes>
#include <cstdint>
#include <string>

#include "expected_text.h"
#include "support/scenario_check.h"
#include "tarvex/tarvex.h"

namespace {

const char* const long_name = "A context name of exactly forty letters.";  // 40

std::string address(const void* p) {
    return formatted("0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
}

std::string fragment(uint32_t alloc_id, const void* p, uint32_t size, const char* info) {
    return formatted(
        "        <Fragment AllocId=\"%u\" Adress=\"%s\" Size=\"%u\" Info=\"%s\">\r\n"
        "        </Fragment>\r\n",
        alloc_id, address(p).c_str(), size, info);
}

const std::string declaration =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<MemTrackReport Version=\"1.0\">\r\n";
const std::string closing = "</MemTrackReport>\r\n";

int unknown_block;
int forging_block;

}  // namespace

int main() {
    Tarvex::the_config.log_func = log_to_file;
    Tarvex::context_init(Tarvex::ContextBase(long_name, 0x10));
    Tarvex::context_init(Tarvex::ContextBase("Two", 0x2));

    // Nothing tracked yet: the dump says so and writes the empty report.
    Tarvex::dump_state("empty.xml", 0);
    write_file("expected_empty.xml", declaration + closing);
    expect_file("empty.xml", "expected_empty.xml");
    // No name, no report and no message.
    Tarvex::dump_state(nullptr, 0);
    Tarvex::dump_state("", 0);

    const uint32_t first = Tarvex::get_checkpoint();
    void* a = Tarvex::std_alloc(16, 0x10);
    void* b = Tarvex::std_alloc(8, 0x2);
    void* c = Tarvex::fast_alloc(32, 0x10);
    void* freed = Tarvex::std_alloc(100, 0x10);
    Tarvex::std_free(freed, 0x10);
    Tarvex::inc_counter("frames", 3);

    // Up to here no name or info holds an XML special character.
    Tarvex::dump_state("clean.xml", 0);

    const uint32_t since = Tarvex::get_checkpoint();
    Tarvex::mem_track_add(0x77, &unknown_block, 5, "a<b&c");
    // Texts that would forge lines or break the XML: a line break and a
    // closing tag, a quote, a control character and code-page bytes.
    Tarvex::mem_track_add(0x77, &forging_block, 6,
                          "x\r\n        </Fragment>\"\x01"
                          "caf\xe9");

    const std::string two =
        "    <Context Name=\"Two\" Id=\"0x2\" Fragments=\"1\" SizeAccumulation=\"8\" "
        "MemUsage=\"8\" MemUsagePeek=\"8\">\r\n" +
        fragment(first + 1, b, 8, "") + "    </Context>\r\n";
    const std::string ten =
        "    <Context Name=\"A context name of exactly forty\" Id=\"0x10\" Fragments=\"2\" "
        "SizeAccumulation=\"48\" MemUsage=\"48\" MemUsagePeek=\"148\">\r\n" +
        fragment(first, a, 16, "") + fragment(first + 2, c, 32, "") + "    </Context>\r\n";
    const std::string unknown =
        "    <Context Name=\"\" Id=\"0x77\" Fragments=\"2\" SizeAccumulation=\"11\" "
        "MemUsage=\"11\" MemUsagePeek=\"11\">\r\n" +
        fragment(since, &unknown_block, 5, "a&lt;b&amp;c") +
        fragment(since + 1, &forging_block, 6,
                 "x&#13;&#10;        &lt;/Fragment&gt;&quot;\\x01caf\\xE9") +
        "    </Context>\r\n";
    const std::string counter = formatted(
        "    <Counter Name=\"frames\" Id=\"0x%x\" Count=\"3\" Peek=\"3\" />\r\n", 0xf634277eu);

    // Only the blocks allocated since the checkpoint.
    Tarvex::dump_state("since.xml", since);
    write_file("expected_since.xml",
               declaration + "    <Allocations Count=\"2\" />\r\n" + unknown + counter + closing);
    expect_file("since.xml", "expected_since.xml");

    // A minimum above every block: no Context, the counters still there.
    Tarvex::dump_state("none.xml", Tarvex::get_checkpoint());
    write_file("expected_none.xml",
               declaration + "    <Allocations Count=\"0\" />\r\n" + counter + closing);
    expect_file("none.xml", "expected_none.xml");

    // A report file that cannot be created: the messages still go out, and
    // the last says so instead of claiming the dump finished.
    Tarvex::dump_state("missing-directory/report.xml", 0);
    Tarvex::dump_state(".", Tarvex::get_checkpoint());
    Tarvex::dump_stack_trace();

    write_file("expected.xml", declaration + "    <Allocations Count=\"5\" />\r\n" + two + ten +
                                   unknown + counter + closing);
    expect_file("MemLeaks_leaks_host.xml", "expected.xml");

    const char* dumping = "Tarvex: Dumping mem leaks to file: ";
    const std::string not_set = "Tarvex: ERROR: Context not set\n";
    write_file("expected_log.txt",
               std::string("Tarvex: MemTrack finished. No leaks found\n") + dumping +
                   "clean.xml\n\nTarvex: Dump finished\n" + not_set +
                   not_set +  // the two mem_track_add calls of the unknown id
                   dumping + "since.xml\n\n" + not_set + "Tarvex: Dump finished\n" + dumping +
                   "none.xml\n\nTarvex: Dump finished\n" + dumping +
                   "missing-directory/report.xml\n\n" + not_set +
                   "Tarvex: ERROR: Cannot create the report file: missing-directory/report.xml\n" +
                   dumping + ".\n\nTarvex: ERROR: Cannot create the report file: .\n" +
                   "Tarvex: Stack trace dump start\nTarvex: Stack trace dump end\n" +
                   // The exit-time lookup no longer reports: the library has
                   // stopped running by then.
                   dumping + "MemLeaks_leaks_host.xml\n\nTarvex: Dump finished\n");
    expect_file("log.txt", "expected_log.txt");
    return scenario_result();
}

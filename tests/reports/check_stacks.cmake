# The stacks the mode-2 host left in its exit-time report and its log.
include(${CMAKE_CURRENT_LIST_DIR}/../support/expect_match.cmake)

set(report MemLeaks_stacks_host.xml)
# Each fragment's stack: the library's own frames, then the host's
# allocating function.
expect(${report} "<Entry Depth=\"[12]\" Adress=\"0x[0-9a-f]+\" Module=\"[^\"]*\" Function=\"[^\"]*allocate_stacked_block")
expect(${report} "Function=\"[^\"]*allocate_for_holder&lt;Holder&amp;&gt;")
expect(${report} "Info=\"a&lt;b&amp;c\"")
expect(${report} "<StackTrace Depth=\"[1-8]\">")
# The stack dump's first frame is the function that called it.
expect(log.txt "Tarvex: Stack trace dump start\nTarvex:     D:0 A:0x[0-9a-f]+ M:[^\n]* F:[^\n]*report_my_stack")
expect(log.txt "Tarvex:     D:1 A:0x[0-9a-f]+ M:[^\n]* F:[^\n]*main")
expect(log.txt "Tarvex: Stack trace dump end\n")
# After the counters, the modules the written frames lie in, by address:
# the host's own and the library's among them.
expect(${report} "</Context>\n(    <Counter [^\n]*\n)*(    <Module [^\n]*\n)*    <Module Name=\"[^\"]*stacks_host[^\"]*\" Base=\"0x[0-9a-f]+\" Size=\"[1-9][0-9]*\" />\n")
expect(${report} "<Module Name=\"[^\"]*(tarvex\\.dll|libtarvex\\.so)\" Base=\"0x[0-9a-f]+\" Size=\"[1-9][0-9]*\" />\n(    <Module [^\n]*\n)*</MemTrackReport>")

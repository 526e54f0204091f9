# What the example game must leave behind: its leak report listing the
# deliberate leaks with stacks through the game's own functions, the
# checkpoint dump of the level load, the leak scope of the level unload, the
# budget warning and the context table it printed.
function(expect file text)
  file(READ "${WORKDIR}/${file}" content)
  string(FIND "${content}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${file} lacks: ${text}\n--- ${file}:\n${content}")
  endif()
endfunction()

expect(MemLeaks_game_host.xml "Info=\"texture cache entry never evicted\"")
expect(MemLeaks_game_host.xml "Info=\"level geometry\"")
expect(MemLeaks_game_host.xml "<Context Name=\"Global Context\" Id=\"0x0\" Fragments=\"1\"")
expect(MemLeaks_game_host.xml "leak_texture_cache")
expect(MemLeaks_game_host.xml "parse_settings")
expect(MemLeaks_game_host.xml "<Counter Name=\"frames\" Id=\"0x")
expect(level_load.xml "spawn_entities")
expect(level_unload.xml "Info=\"texture cache entry never evicted\"")
expect(stdout.txt "Tarvex: WARNING: Context Game objects over its budget: ")
expect(stdout.txt "level unload: 1 block(s) of Game objects still live")
expect(stdout.txt "level unload: Level arena 4096 bytes in 1 block(s) before the reset, 0 in 0 after")
expect(stdout.txt "Game objects")
expect(stdout.txt "Level arena")
expect(stdout.txt "fragments")
# The timeline of the run, begun with its header ("TARVEXTL").
file(READ "${WORKDIR}/game_timeline.bin" timeline LIMIT 8 HEX)
if(NOT timeline STREQUAL "544152564558544c")
  message(FATAL_ERROR "game_timeline.bin has no timeline header")
endif()

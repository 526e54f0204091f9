// The runtime heap of an internal test program, wrapped at link time
// (-Wl,--wrap=malloc) so that a test can make the next calls fail.
#pragma once

// The next `count` calls of malloc return null.
void fail_next_mallocs(int count);

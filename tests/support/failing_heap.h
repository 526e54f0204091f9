// The runtime heap of an internal test program, wrapped at link time
// (-Wl,--wrap=malloc, and --wrap=calloc where the code under test uses it) so
// that a test can make the next calls fail.
#pragma once

// After `after` more calls that succeed, the next `count` calls of malloc or
// calloc return null.
void fail_next_mallocs(int count, int after = 0);

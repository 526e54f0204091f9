#pragma once

namespace tarvex {

// Puts the tracking variants into slots 0, 1 and 3 to 11 of the dispatch
// table; slot 2 keeps its default. Called by start-up only.
void install_tracking_entries();

}  // namespace tarvex

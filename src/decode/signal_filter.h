// The run's signal selection (--signals): which messages and signals of the loaded DBC files
// become columns, by shell-style patterns over "<message>.<signal>" and "<message>".
#pragma once

#include <cstdint>

struct Decoders;

// Applies the patterns (fnmatch: "*", "?", "[...]") to every database of the decoders: a signal
// is kept when a pattern matches "<message>.<signal>" or "<message>", with the names the
// database gives them; any other signal becomes ignored (no column, as "SignalIgnore" does),
// and a message left without a signal that is not ignored is marked filtered (its frames are
// counted as such and give no rows). matched[i] becomes 1 for each pattern that matched a
// message or signal of some database, and stays as it was otherwise. False when memory ran
// out for a name (the selection is then incomplete).
bool decoders_select_signals(Decoders* decoders, const char* const* patterns, uint32_t count,
                             uint8_t* matched);

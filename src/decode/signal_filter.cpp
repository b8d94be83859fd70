// The signal selection: marks the signals no pattern selects as ignored, and the messages
// without a selected signal as filtered, once before the run.
#include "decode/signal_filter.h"

#include <fnmatch.h>

#include "dbc/message_db.h"
#include "decode/decoders.h"
#include "support/dyn_string.h"

namespace {

struct Selection {
  const char* const* patterns;
  uint32_t count;
  uint8_t* matched;
  DynString name;  // "<message>" or "<message>.<signal>", zero-terminated for fnmatch
  bool out_of_memory;
};

// Whether any pattern matches `name`, marking every pattern that does.
bool selected(Selection* s, std::string_view name) {
  dynstring_clear(&s->name);
  if (!dynstring_append(&s->name, name)) {
    s->out_of_memory = true;
    return true;  // nothing is dropped for want of memory
  }
  bool any = false;
  for (uint32_t i = 0; i < s->count; ++i) {
    if (fnmatch(s->patterns[i], dynstring_data(&s->name), 0) != 0) continue;
    s->matched[i] = 1;
    any = true;
  }
  return any;
}

// Ignores the signals of the list (and of its branches) that no pattern selects; the number
// of signals left that are not ignored. The tree is at most MUX_DEPTH_LIMIT deep.
uint64_t select_list(Selection* s, std::string_view message, bool whole, SignalList* list) {
  uint64_t kept = 0;
  for (Signal& signal : *list) {
    ScopedDynString full;
    bool built = dynstring_append(&full.s, message) && dynstring_append(&full.s, ".") &&
                 dynstring_append(&full.s, dynstring_sv(&signal.name));
    if (!built) s->out_of_memory = true;
    bool keep = selected(s, full.view()) || whole;
    if (!keep) signal.ignore = 1;
    kept += !signal.ignore;
    for (MuxBranch& branch : signal.branches)
      kept += select_list(s, message, whole, &branch.signals);
  }
  return kept;
}

}  // namespace

bool decoders_select_signals(Decoders* decoders, const char* const* patterns, uint32_t count,
                             uint8_t* matched) {
  Selection s{patterns, count, matched, {}, false};
  for (ChannelDecoders& channel : decoders->channels) {
    for (MessageDatabase* database : channel.databases) {
      if (!database) continue;
      ordered_map_for_each(&database->messages, [&](const uint32_t&, Message& m) {
        std::string_view name = dynstring_sv(&m.name);
        bool whole = selected(&s, name);
        m.filtered = select_list(&s, name, whole, &m.signals) == 0;
        return true;
      });
    }
  }
  dynstring_free(&s.name);
  return !s.out_of_memory;
}

// The sync search written step by step, one 40-sample comparison per
// attempt: the reference that the fast search in decoder/ must agree with,
// attempt for attempt. Independent of decoder/sync_search.cc on purpose.
#pragma once

#include "decoder/decoder.h"

namespace morvix::test {

int get_frame_id_reference(Decoder& d);

}  // namespace morvix::test

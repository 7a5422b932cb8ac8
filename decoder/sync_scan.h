// SPDX-License-Identifier: Apache-2.0
// The word-parallel scan behind the sync search: it tries 128 or 256
// consecutive sample positions at once over a plain byte array, so that the
// search itself only has to say which positions to try and where the ring
// wraps.
//
// Samples are numbered from bit 7 of bytes[0]: sample n is bit 7 - n % 8 of
// bytes[n / 8], as in the ring.
#pragma once

#include "decoder/sync_word.h"

namespace morvix {

// The improved reading's candidates: sync words with at most this many
// wrong bits, which it judges by their soft values.
constexpr int kMaxCandidateWrongBits = 7;

// Bytes a scan reads from the byte of its last attempt on, that one included:
// the attempt's 40 samples span 39 * sps samples, and the lanes after it come
// along in the same loads.
int sync_scan_slack_bytes(int sps);

// True when this CPU can run the AVX2 build of the scan.
bool sync_scan_wide_available();

// Tries the attempts at samples first .. last (0 <= first <= last) in order
// and returns the first whose 40 samples, sps apart, differ from the sync
// word's line bits (a sample of 0 for a line bit of 1) in at most max_wrong
// places: kMaxSyncWrongBits, the sync search's rule, or
// kMaxCandidateWrongBits; -1 when none does. Reads bytes[first / 8] up to, not including,
// bytes[last / 8 + sync_scan_slack_bytes(sps)]; samples after the last
// attempt's are loaded with the rest and play no part in the result. wide
// runs the AVX2 build, only when sync_scan_wide_available(); both builds give
// the same result.
long scan_for_sync(const unsigned char* bytes, long first, long last, int sps, bool wide,
                   int max_wrong = kMaxSyncWrongBits);

}  // namespace morvix
